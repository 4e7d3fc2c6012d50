# Building the add-in's in-process automation servers: widl for the target's bitness, and one
# function that makes a server DLL with the exports, version resource and type library they all
# carry.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(velmo_widl_bits -m64)
  set(velmo_widl_prefix x86_64-w64-mingw32)
  # Debian's MinGW ships no stdole2.tlb; Wine's serves.
  set(VELMO_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(velmo_widl_bits -m32)
  set(velmo_widl_prefix i686-w64-mingw32)
  set(VELMO_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
find_program(VELMO_WIDL NAMES ${velmo_widl_prefix}-widl widl REQUIRED)
set(VELMO_AUTOMATION_BASE_DIR ${PROJECT_SOURCE_DIR}/src/automation/base)
set(VELMO_DOCUMENTS_DIR ${PROJECT_SOURCE_DIR}/src/automation/documents)
set(VELMO_DOCUMENTS_GEN ${PROJECT_BINARY_DIR}/src/automation/documents/generated)
set(VELMO_GLOBAL_DIR ${PROJECT_SOURCE_DIR}/src/automation/global)
set(VELMO_GLOBAL_GEN ${PROJECT_BINARY_DIR}/src/automation/global/generated)

# velmo_widl(IDL <file> OUTPUT_DIR <dir> [TYPELIB <file>] [DEPENDS <files or targets>...]
#            [POST_COMMAND <command and arguments>...])
# The C header and identifiers of IDL, named after it, and its type library if asked. Imports are
# found beside IDL, in the automation base's folder and in the documents' folder; importlib'd type
# libraries in Wine's folder and where the companions' are built.
function(velmo_widl)
  cmake_parse_arguments(arg "" "IDL;OUTPUT_DIR;TYPELIB" "DEPENDS;POST_COMMAND" ${ARGN})
  get_filename_component(base ${arg_IDL} NAME_WE)
  get_filename_component(idl_dir ${arg_IDL} DIRECTORY)
  set(args ${velmo_widl_bits} -I ${idl_dir} -I ${VELMO_AUTOMATION_BASE_DIR}
           -I ${VELMO_DOCUMENTS_DIR}
           -L ${VELMO_STDOLE_DIR} -L ${VELMO_DOCUMENTS_GEN})
  set(out ${arg_OUTPUT_DIR}/${base}.h ${arg_OUTPUT_DIR}/${base}_i.c)
  set(commands
      COMMAND ${VELMO_WIDL} ${args} -h -o ${arg_OUTPUT_DIR}/${base}.h ${arg_IDL}
      COMMAND ${VELMO_WIDL} ${args} -u -o ${arg_OUTPUT_DIR}/${base}_i.c ${arg_IDL})
  if(arg_TYPELIB)
    list(APPEND out ${arg_TYPELIB})
    list(APPEND commands COMMAND ${VELMO_WIDL} ${args} -t -o ${arg_TYPELIB} ${arg_IDL})
    if(arg_POST_COMMAND)
      list(APPEND commands COMMAND ${arg_POST_COMMAND})
    endif()
  endif()
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${arg_OUTPUT_DIR}
    ${commands}
    DEPENDS ${arg_IDL} ${VELMO_AUTOMATION_BASE_DIR}/base.idl ${arg_DEPENDS}
    COMMENT "widl: ${base}.idl"
    VERBATIM)
endfunction()

# velmo_add_com_server(<name> TYPELIB <tlb> VERSION <a.b.c.d>
#                      SOURCES <files>... LIBRARIES <targets>... [EXTRA_EXPORTS <names>...])
# <name>.dll in the build's bin folder, beside the other servers: SOURCES define ThisServer().
# The resource's strings write the version the add-in's way, a.bc.dddd (1.0.0.50 is 1.00.0050).
function(velmo_add_com_server name)
  cmake_parse_arguments(arg "" "TYPELIB;VERSION" "SOURCES;LIBRARIES;EXTRA_EXPORTS" ${ARGN})
  if(NOT arg_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "velmo_add_com_server(${name}): VERSION must be a.b.c.d: ${arg_VERSION}")
  endif()
  set(tweak "000${CMAKE_MATCH_4}")
  string(LENGTH "${tweak}" length)
  math(EXPR from "${length} - 4")
  string(SUBSTRING "${tweak}" ${from} 4 tweak)
  set(server_version_text "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}${CMAKE_MATCH_3}.${tweak}")
  list(TRANSFORM arg_EXTRA_EXPORTS PREPEND "  ")
  list(JOIN arg_EXTRA_EXPORTS "\n" server_extra_exports)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(server_name ${name})
  set(server_tlb ${arg_TYPELIB})
  string(REPLACE "." "," server_version_commas ${arg_VERSION})
  configure_file(${VELMO_AUTOMATION_BASE_DIR}/server.rc.in ${gen}/${name}.rc @ONLY)
  configure_file(${VELMO_AUTOMATION_BASE_DIR}/server.def.in ${gen}/${name}.def @ONLY)
  add_library(${name} SHARED ${arg_SOURCES} ${VELMO_AUTOMATION_BASE_DIR}/exports.cc
                             ${gen}/${name}.rc ${gen}/${name}.def)
  set_source_files_properties(${gen}/${name}.rc PROPERTIES OBJECT_DEPENDS ${arg_TYPELIB})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The exports are stdcall; the .def file names them undecorated, which is what callers look
    # for.
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} velmo_com velmo_warnings
                        ole32 oleaut32 uuid advapi32)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/velmo_sdk.cmake)
