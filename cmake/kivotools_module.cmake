# How a module of the family is built: included by the tree's own build and, installed, by the
# kivotools CMake package, so the two never drift apart. Included again in every directory that
# asks for the package, so that each sees the variable below.
include_guard(DIRECTORY)

# Modules find the toolkit's libraries in their own folder's "lib", then in the wheel's
# repaired-library folder two levels up.
set(KIVOTOOLS_MODULE_RPATH "$ORIGIN/lib:$ORIGIN/../../kivotools.libs")

# The runtime objects compiled into one module: hidden, position independent.
function(kivotools_runtime_properties target)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        POSITION_INDEPENDENT_CODE ON)
endfunction()

# A CPython extension module `name` that carries `runtime` (an object library): exports only
# its entry function and what its sources mark for export, names no interpreter library, and
# finds the toolkit's libraries through its RUNPATH.
function(kivotools_module_target name runtime)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${runtime} ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES
        PREFIX ""
        SUFFIX ".${Python_SOABI}${CMAKE_SHARED_MODULE_SUFFIX}"
        NO_SONAME ON
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        INSTALL_RPATH "${KIVOTOOLS_MODULE_RPATH}")
    target_link_options(${name} PRIVATE -Wl,--enable-new-dtags -Wl,--no-as-needed)
endfunction()
