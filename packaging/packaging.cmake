# The Debian package (CPack's DEB generator, `cpack` in a Linux build folder, or
# scripts/package.sh): the three programs, the window's desktop entry and icon, the man
# pages, and a post-install step that gives both updaters the one capability the boot
# loader's fixed UDP ports need.
# A build without the window (TESSALY_BUILD_GUI=OFF) has nothing to package.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT TARGET tessaly-updater OR NOT TARGET tessaly-update
   OR NOT TARGET tessaly-pjsim)
  return()
endif()

set(TESSALY_PACKAGE_NAME tessaly-updater)
# The Debian revision: raise it for a new package of the same program version, and put an
# entry for it at the top of packaging/changelog.
set(TESSALY_PACKAGE_RELEASE 1)
set(TESSALY_PACKAGE_MAINTAINER "Updater for Tessaly maintainers <maintainers@tessaly.example>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")

set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)
set(_pkg_doc share/doc/${TESSALY_PACKAGE_NAME})

# The changelog's top entry names the package's version: a bump of one without the other
# shows when configuring, not in an installed package's changelog.
file(STRINGS ${_pkg_dir}/changelog _pkg_changelog_top LIMIT_COUNT 1)
set(_pkg_version "${PROJECT_VERSION}-${TESSALY_PACKAGE_RELEASE}")
if(NOT _pkg_changelog_top MATCHES "^${TESSALY_PACKAGE_NAME} \\(${_pkg_version}\\) ")
  message(FATAL_ERROR "packaging/changelog must start with an entry for ${TESSALY_PACKAGE_NAME} (${_pkg_version}); "
                      "its first line is: ${_pkg_changelog_top}")
endif()

# Man pages and the changelog compressed as Debian wants them: best compression, and no
# name or time stamp inside, so that the same sources give the same package.
find_program(TESSALY_GZIP gzip REQUIRED)
set(_pkg_gz_sources tessaly-update.1 tessaly-pjsim.1 changelog)
set(_pkg_gz_outputs "")
foreach(_src IN LISTS _pkg_gz_sources)
  set(_out ${_pkg_out}/${_src}.gz)
  if(_src STREQUAL "changelog")
    set(_out ${_pkg_out}/changelog.Debian.gz)
  endif()
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_out}
    COMMAND ${TESSALY_GZIP} -9n -c ${_pkg_dir}/${_src} > ${_out}
    DEPENDS ${_pkg_dir}/${_src}
    COMMENT "Compressing ${_src} for the package"
    VERBATIM)
  list(APPEND _pkg_gz_outputs ${_out})
endforeach()
add_custom_target(tessaly_package_docs ALL DEPENDS ${_pkg_gz_outputs})

# Only the programs a technician runs; no test, benchmark or fuzz binary has an install rule.
install(TARGETS tessaly-updater tessaly-update tessaly-pjsim RUNTIME DESTINATION bin)
install(FILES ${_pkg_dir}/tessaly-updater.desktop DESTINATION share/applications)
install(FILES ${_pkg_dir}/tessaly-updater.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${_pkg_out}/tessaly-update.1.gz ${_pkg_out}/tessaly-pjsim.1.gz DESTINATION share/man/man1)
install(FILES ${_pkg_dir}/copyright ${_pkg_out}/changelog.Debian.gz DESTINATION ${_pkg_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TESSALY_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TESSALY_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The programs are built with line tables (-g1) for readable reports; the package needs none.
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TESSALY_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSALY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The first line is the synopsis; CPack indents the rest as the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "firmware updater for Tessaly video projectors over the LAN
Updates the two firmware images of a Tessaly video projector over the local
network: the Main firmware (*.bin), served to the projector's Ethernet boot
loader by BOOTP and TFTP, and the Sub firmware (*.brec2), streamed to its video
processor over the control connection on TCP port 20554.
.
The package holds the window for operators (tessaly-updater), the same updater
without a window for scripts and service laptops (tessaly-update), and a
projector simulator for dry runs and training (tessaly-pjsim).
.
The boot loader is served on the UDP ports 67, 69 and 9, which Linux reserves
for privileged programs: installing the package gives both updaters the
capability cap_net_bind_service, so that they run without root.")
# The libraries the programs link come from dpkg-shlibdeps (package dpkg-dev); setcap
# for the post-install step comes from libcap2-bin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg_dir}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
