#pragma once
// Whether standard output is a terminal that shows colours and a live progress bar.

namespace tessaly::cli {

// On Windows this also switches the console to the escape sequences the bar and the
// colours are written with; a console that cannot take them counts as no terminal.
bool PrepareTerminalOutput();

}  // namespace tessaly::cli
