# What `cmake --install` lays out, and the Debian package CPack makes from the same rules:
# the shared libraries with SONAME versions, the public headers and the platform headers
# they include (under include/veltrak), pkg-config files, a CMake package (find_package
# (Veltrak): Veltrak::vkbth, Veltrak::vkrt, ...), the programs, and what the rooms install
# themselves (systemd units, man pages, .desktop files and icons).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NX_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/veltrak)

# The interface libraries of the family, in the order they stand on each other. A room's
# include folders are build-tree paths; installed, every public header is under
# include/veltrak, so each folder is wrapped for the build only.
set(NX_INSTALLED_LIBRARIES "")
foreach(lib nxpal nxqt nxrtl thbc vkbth vkrt)
  if(NOT TARGET ${lib})
    continue()
  endif()
  list(APPEND NX_INSTALLED_LIBRARIES ${lib})
  set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT dirs)
    continue()  # its headers come with vkpublic
  endif()
  set(wrapped "")
  foreach(dir ${dirs})
    if(dir MATCHES "^\\$<")
      list(APPEND wrapped "${dir}")
    else()
      list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
    endif()
  endforeach()
  list(APPEND wrapped "$<INSTALL_INTERFACE:${NX_INCLUDE_SUBDIR}>")
  set_target_properties(${lib} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
endforeach()

# The public headers' own target (include/) carries their folder to the libraries' callers.
target_include_directories(vkpublic INTERFACE $<INSTALL_INTERFACE:${NX_INCLUDE_SUBDIR}>)
install(TARGETS ${NX_INSTALLED_LIBRARIES} vkpublic EXPORT VeltrakTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        INCLUDES DESTINATION ${NX_INCLUDE_SUBDIR})
install(EXPORT VeltrakTargets NAMESPACE Veltrak:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrak
        COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VeltrakConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeltrakConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrak)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeltrakConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeltrakConfig.cmake ${PROJECT_BINARY_DIR}/VeltrakConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrak COMPONENT dev)

# Public headers: the two libraries' own, thbc's, and the platform's that they include.
install(FILES ${PROJECT_SOURCE_DIR}/include/vkbth.h ${PROJECT_SOURCE_DIR}/include/vkrt.h
        DESTINATION ${NX_INCLUDE_SUBDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vkrt ${PROJECT_SOURCE_DIR}/platform/include/nxpal
                  ${PROJECT_SOURCE_DIR}/platform/qt/include/nxqt
        DESTINATION ${NX_INCLUDE_SUBDIR} COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/thbc/include/thbc/thbc.h DESTINATION ${NX_INCLUDE_SUBDIR}/thbc COMPONENT dev)

# pkg-config: one file per library, each naming the libraries it stands on.
# The files are relocatable: the prefix is found from the file's own place, so the same
# file serves `cmake --install --prefix` and the package.
file(RELATIVE_PATH NX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
function(nx_pkgconfig name description requires)
  set(PC_NAME ${name})
  set(PC_DESCRIPTION "${description}")
  set(PC_REQUIRES "${requires}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/veltrak.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endfunction()
nx_pkgconfig(nxpal "Win32 and COM subset on Linux for the Veltrak libraries" "")
nx_pkgconfig(nxqt "Window side of the Veltrak platform layer over Qt Widgets" "nxpal Qt6Widgets")
nx_pkgconfig(thbc "Veltrak basic classes: worker thread, COM helpers, property set" "nxpal")
nx_pkgconfig(vkbth "Veltrak Bluetooth links to VR-03 recorders" "nxpal thbc")
nx_pkgconfig(vkrt "Veltrak runtime: registries, sample codec, shared memory blocks, paged files" "nxpal")

# Programs, where they are built.
foreach(program ordiva vr03fci pfsvc vr03sim nxreg vr03check vr03sig)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# What Debian asks of every package: the copyright file and the changelog (compressed
# as dpkg-deb would, without a time stamp) in the package's documentation folder.
set(NX_DEBIAN_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/veltrak-vr03)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
  COMMENT "Compressing the package's changelog" VERBATIM)
add_custom_target(nx_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${NX_DEBIAN_DOCDIR} COMPONENT runtime)

# The Debian package: everything above in one package, its library dependencies found by
# dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME veltrak-vr03)
set(CPACK_PACKAGE_VENDOR "Veltrak")
set(CPACK_PACKAGE_CONTACT "Veltrak VR-03 software <vr03@veltrak.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VR-03 Holter recorder preparation and memory card initialisation")
# The extended description as Debian shows it: lines of less than 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
  "Prepares the VR-03 portable Holter ECG recorder for a monitoring session\n(Ordiva), initialises its memory cards (vr03fci) and checks a clinic PC\nfor both (vr03check). Ships the runtime libraries the programs share, the\npaged-file service and the virtual recorder.")
set(CPACK_GENERATOR DEB)
# The package holds the paths the build was configured for (the units name the program by
# its full path): configure with -DCMAKE_INSTALL_PREFIX=/usr for a Debian package.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries: a shlibs file for packages built against them, and the
# ldconfig trigger that makes them known on install (a trigger, not a maintainer script:
# installing the package runs nothing of its own).
set(NX_SHLIBS "")
foreach(lib ${NX_INSTALLED_LIBRARIES})
  string(APPEND NX_SHLIBS "lib${lib} ${PROJECT_VERSION_MAJOR} veltrak-vr03 (>= ${PROJECT_VERSION})\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs "${NX_SHLIBS}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The install test: a temporary prefix, then an outside program built against it with
# find_package and with pkg-config (with this build's sanitizers, which the installed
# libraries carry); for a build for /usr also the Debian package, checked with lintian.
if(NX_BUILD_TESTS)
  set(outside_flags "")
  if(NX_SANITIZE)
    set(outside_flags "-fsanitize=address,undefined")
  elseif(NX_TSAN)
    set(outside_flags "-fsanitize=thread")
  endif()
  add_test(NAME install_test
           COMMAND ${PROJECT_SOURCE_DIR}/cmake/tests/install_test ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                   "${outside_flags}" ${CMAKE_INSTALL_PREFIX})
  set_tests_properties(install_test PROPERTIES LABELS integration)
  nx_test_limit(install_test)
endif()
