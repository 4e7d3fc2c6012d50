# libvelmo as another project uses it: a shared and a static library built from the core, what
# `cmake --install` puts where, the CMake package and pkg-config file it is found by, and the
# Debian packages. Only include/velmo/ is installed; the shared library shows only what those
# headers mark VELMO_EXPORT.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(part ${VELMO_CORE_LAYERS} velmo_platform)
  set_target_properties(${part} PROPERTIES POSITION_INDEPENDENT_CODE ON
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endforeach()

set(velmo_objects $<TARGET_OBJECTS:velmo_platform>)
foreach(part ${VELMO_CORE_LAYERS})
  list(APPEND velmo_objects $<TARGET_OBJECTS:${part}>)
endforeach()
add_library(velmo SHARED ${velmo_objects})
add_library(velmo_static STATIC ${velmo_objects})
set_target_properties(velmo PROPERTIES
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(velmo_static PROPERTIES OUTPUT_NAME velmo)
# A symbol left undefined would only show in the caller's link.
target_link_options(velmo PRIVATE LINKER:--no-undefined)
foreach(lib velmo velmo_static)
  target_include_directories(${lib} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${lib} PUBLIC cxx_std_20)
  target_link_libraries(${lib} PRIVATE SQLite::SQLite3 ICU::uc)
endforeach()
add_library(VELMOSWGlobalLib::velmo ALIAS velmo)
add_library(VELMOSWGlobalLib::velmo_static ALIAS velmo_static)

set(velmo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/VELMOSWGlobalLib)
install(TARGETS velmo EXPORT VELMOSWGlobalLibTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development)
install(TARGETS velmo_static EXPORT VELMOSWGlobalLibStaticTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velmo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)
install(EXPORT VELMOSWGlobalLibTargets NAMESPACE VELMOSWGlobalLib::
        DESTINATION ${velmo_cmake_dir} COMPONENT development)
install(EXPORT VELMOSWGlobalLibStaticTargets NAMESPACE VELMOSWGlobalLib::
        DESTINATION ${velmo_cmake_dir} COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VELMOSWGlobalLibConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VELMOSWGlobalLibConfig.cmake
                              INSTALL_DESTINATION ${velmo_cmake_dir})
# A new major version is a new SONAME: only the same major version answers.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VELMOSWGlobalLibConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VELMOSWGlobalLibConfig.cmake
              ${PROJECT_BINARY_DIR}/VELMOSWGlobalLibConfigVersion.cmake
        DESTINATION ${velmo_cmake_dir} COMPONENT development)

# The pkg-config file finds the prefix from where it lies, so an installed tree can be moved.
file(RELATIVE_PATH velmo_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" velmo_pc_prefix "${velmo_pc_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmo.pc.in ${PROJECT_BINARY_DIR}/velmo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT development)

# Debian packages, one a component: `cpack -G DEB` in a tree configured with the prefix /usr
# (the preset linux-package), so that the library lands in the multiarch folder.
set(CPACK_PACKAGE_NAME velmo)
set(CPACK_PACKAGE_VENDOR MOLTRA)
set(CPACK_PACKAGE_CONTACT "MOLTRA VELMO_SW2 developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Global services of the VELMO_SW2 CAD add-in")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_COMPONENTS_ALL runtime development velmoctl)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelmo${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Global services of the VELMO_SW2 CAD add-in: shared library\nlibvelmo.so.${PROJECT_VERSION_MAJOR}, with the SQLite-backed store that stands in for the Windows registry.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvelmo-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The static library needs the development files of SQLite and ICU where it is linked.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libvelmo${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), libsqlite3-dev, libicu-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Global services of the VELMO_SW2 CAD add-in: development files\nHeaders, static library, CMake package and pkg-config file.")
set(CPACK_DEBIAN_VELMOCTL_PACKAGE_NAME velmoctl)
set(CPACK_DEBIAN_VELMOCTL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_VELMOCTL_DESCRIPTION
    "Command-line tool of the VELMO_SW2 global services\nReads and writes the store and starts up as the host application would.")
include(CPack)
