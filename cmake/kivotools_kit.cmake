# The kit: what a module built elsewhere needs to join the family, installed inside the package:
# the runtime's headers and sources, the binding layer's headers, the services' headers, the
# exported tool classes' headers, the CMake package and the complete examples. Included by
# src/CMakeLists.txt once kivo_runtime exists. Headers keep the include roots they have in the
# tree (runtime, layer, services, tools), so the same #include lines work in and out of the tree.
include_guard(GLOBAL)
set(KIVO_SOURCE_DIR ${PROJECT_SOURCE_DIR}/src)
set(KIVO_KIT_DIR kivotools)
install(DIRECTORY ${KIVO_SOURCE_DIR}/runtime/ ${KIVO_SOURCE_DIR}/services/
    DESTINATION ${KIVO_KIT_DIR}/include COMPONENT python FILES_MATCHING PATTERN "*.h")
# The binding layer: header-only, over the same runtime.
install(DIRECTORY ${KIVO_SOURCE_DIR}/layer/kivotools
    DESTINATION ${KIVO_KIT_DIR}/include COMPONENT python FILES_MATCHING PATTERN "*.h")
install(FILES ${KIVO_SOURCE_DIR}/tools/kivoc_export.h
    DESTINATION ${KIVO_KIT_DIR}/include COMPONENT python)
install(FILES ${KIVO_SOURCE_DIR}/tools/norvek/norvek_cmpt.h
    DESTINATION ${KIVO_KIT_DIR}/include/norvek COMPONENT python)
install(FILES ${KIVO_SOURCE_DIR}/tools/quedrin/quedrin_cmpt.h
    DESTINATION ${KIVO_KIT_DIR}/include/quedrin COMPONENT python)
# The runtime's sources as the tree compiles them (kivo_runtime), by file name.
get_target_property(KIVO_RUNTIME_SOURCE_LIST kivo_runtime SOURCES)
set(KIVOTOOLS_RUNTIME_SOURCES "")
foreach(source ${KIVO_RUNTIME_SOURCE_LIST})
    get_filename_component(source_name ${source} NAME)
    list(APPEND KIVOTOOLS_RUNTIME_SOURCES ${source_name})
    install(FILES ${KIVO_SOURCE_DIR}/runtime/${source_name}
        DESTINATION ${KIVO_KIT_DIR}/src/runtime COMPONENT python)
endforeach()
set(KIVOTOOLS_SOABI ${Python_SOABI})
set(KIVOTOOLS_SANITIZE_DEFAULT ${KIVO_SANITIZE})
set(KIVOTOOLS_CMAKE_DIR ${KIVO_KIT_DIR}/share/cmake/kivotools)
configure_file(${PROJECT_SOURCE_DIR}/cmake/kivotoolsConfig.cmake.in
    ${PROJECT_BINARY_DIR}/kit/kivotoolsConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kit/kivotoolsConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kit/kivotoolsConfig.cmake
    ${PROJECT_BINARY_DIR}/kit/kivotoolsConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/kivotools_module.cmake
    DESTINATION ${KIVOTOOLS_CMAKE_DIR} COMPONENT python)
# The complete examples of docs/writing-a-module.md, for users of the installed package to read
# and build.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/storehost/
    DESTINATION ${KIVO_KIT_DIR}/share/example/storehost COMPONENT python)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/shapes/
    DESTINATION ${KIVO_KIT_DIR}/share/example/shapes COMPONENT python)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/storehost_lowlevel/
    DESTINATION ${KIVO_KIT_DIR}/share/example/storehost_lowlevel COMPONENT python)
