# The Windows programs' resources: a manifest (Windows 10/11, per-monitor DPI, themed
# controls, no elevation), the version the program reports and the desktop entry's icon.
enable_language(RC)

# The icon, drawn from the desktop entry's SVG at each size Windows asks for; the 256 px
# image is stored as PNG, as Windows expects.
find_program(TESSALY_RSVG_CONVERT rsvg-convert)
find_program(TESSALY_ICOTOOL icotool)
if(NOT TESSALY_RSVG_CONVERT OR NOT TESSALY_ICOTOOL)
  message(FATAL_ERROR "The Windows icon needs rsvg-convert and icotool (Debian: librsvg2-bin, icoutils)")
endif()
set(TESSALY_WINDOWS_ICON ${PROJECT_BINARY_DIR}/resources/tessaly-updater.ico)
set(_tessaly_svg ${PROJECT_SOURCE_DIR}/packaging/tessaly-updater.svg)
set(_tessaly_pngs)
set(_tessaly_png_commands)
foreach(size 16 32 48 256)
  set(png ${PROJECT_BINARY_DIR}/resources/icon-${size}.png)
  list(APPEND _tessaly_pngs ${png})
  list(APPEND _tessaly_png_commands COMMAND ${TESSALY_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${_tessaly_svg})
endforeach()
add_custom_command(OUTPUT ${TESSALY_WINDOWS_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/resources
  ${_tessaly_png_commands}
  COMMAND ${TESSALY_ICOTOOL} -c -o ${TESSALY_WINDOWS_ICON}
          ${PROJECT_BINARY_DIR}/resources/icon-16.png ${PROJECT_BINARY_DIR}/resources/icon-32.png
          ${PROJECT_BINARY_DIR}/resources/icon-48.png --raw=${PROJECT_BINARY_DIR}/resources/icon-256.png
  DEPENDS ${_tessaly_svg}
  COMMENT "Drawing the Windows icon from packaging/tessaly-updater.svg"
  VERBATIM)
add_custom_target(tessaly_windows_icon DEPENDS ${TESSALY_WINDOWS_ICON})

# Gives TARGET (an executable) its manifest, icon and version resource.
#   tessaly_windows_resources(TARGET NAME DESCRIPTION)
# NAME is the manifest's assembly name, DESCRIPTION Explorer's "File description".
function(tessaly_windows_resources target name description)
  set(TESSALY_RC_TARGET ${target})
  set(TESSALY_RC_FILE ${target}.exe)
  set(TESSALY_RC_NAME ${name})
  set(TESSALY_RC_DESCRIPTION ${description})
  set(TESSALY_RC_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  set(TESSALY_RC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
  set(dir ${PROJECT_BINARY_DIR}/resources/${target})
  set(TESSALY_RC_MANIFEST ${dir}/${target}.exe.manifest)
  set(TESSALY_RC_ICON ${TESSALY_WINDOWS_ICON})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows-resources/manifest.xml.in ${TESSALY_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows-resources/program.rc.in ${dir}/${target}.rc @ONLY)
  # windres reports no dependencies of its own: the manifest and the icon are named here.
  set_source_files_properties(${dir}/${target}.rc PROPERTIES
    OBJECT_DEPENDS "${TESSALY_RC_MANIFEST};${TESSALY_WINDOWS_ICON}")
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  add_dependencies(${target} tessaly_windows_icon)
endfunction()
