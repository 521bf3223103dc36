# The cross compiler must not see the build machine's /usr/include: its C library and
# system headers are Linux's. The header-only libraries we take from there are handed to
# it one by one, as links in a folder of their own.
set(TESSALY_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${TESSALY_HOST_INCLUDE})
foreach(entry asio.hpp asio nlohmann)
  if(EXISTS /usr/include/${entry} AND NOT EXISTS ${TESSALY_HOST_INCLUDE}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${TESSALY_HOST_INCLUDE}/${entry} SYMBOLIC)
  endif()
endforeach()
if(NOT EXISTS ${TESSALY_HOST_INCLUDE}/asio.hpp)
  message(FATAL_ERROR "Asio's headers are missing: install libasio-dev")
endif()
# Set before the find_path calls, which then keep them.
set(ASIO_INCLUDE_DIR ${TESSALY_HOST_INCLUDE} CACHE PATH "Asio's headers" FORCE)
if(EXISTS ${TESSALY_HOST_INCLUDE}/nlohmann/json.hpp)
  set(NLOHMANN_JSON_INCLUDE_DIR ${TESSALY_HOST_INCLUDE} CACHE PATH "nlohmann-json's headers" FORCE)
endif()
