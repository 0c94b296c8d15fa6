# The package for host developers (32-bit only): the plug-ins TscShell.dll, TscProcess.dll and
# TscPath.dll without their debug sections, the host
# headers it was built against, the embedding guide, the script reference of the classes, the
# language reference and the examples (scripts, and a small host in C++ that follows the
# guide); in runtime/, our own runtime and host (tarvo.exe, tarvow.exe, the three host
# libraries and their import libraries), for trying the plug-in where the maker's runtime is
# not installed. A program or library added to package_runtime goes into runtime/ too.
# cmake --build --preset package makes build/i686/TscShell-VERSION-win32 and its .zip.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(package TscShell-${PROJECT_VERSION}-win32)
  set(package_runtime tarvo tarvow HX_KOT_TarvoRuntime HX_KOT_ObjMan HX_KOT_Util)
  install(TARGETS TscShell TscProcess TscPath RUNTIME DESTINATION . COMPONENT release)
  install(TARGETS ${package_runtime} RUNTIME DESTINATION runtime COMPONENT release
          ARCHIVE DESTINATION runtime COMPONENT release)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/ DESTINATION include COMPONENT release)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/host.md ${PROJECT_SOURCE_DIR}/docs/classes.md
          ${PROJECT_SOURCE_DIR}/docs/tarvo.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION .
          COMPONENT release)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/package-readme.md DESTINATION . RENAME README.md
          COMPONENT release)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples COMPONENT release)
  add_custom_target(release-package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${package} ${package}.zip
    COMMAND ${CMAKE_COMMAND} --install . --prefix ${package} --component release --strip
    COMMAND ${CMAKE_COMMAND} -E tar cf ${package}.zip --format=zip ${package}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS TscShell TscProcess TscPath ${package_runtime}
    COMMENT "Packaging ${package}")
endif()
