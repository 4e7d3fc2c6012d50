# The SDK for C++ modules that bind early to the automation servers: the headers and identifier
# definitions widl writes from the IDL, and the type libraries. `cmake --install` puts the servers'
# DLLs in the prefix and the SDK beside them, as the installer lays them out:
#
#   <prefix>/VELMOSWGlobalLib.dll, MOLConfigLib.dll, MolGPP.dll
#   <prefix>/SDK/include/   *.h and *_i.c (a module compiles the _i.c of each IDL it names)
#   <prefix>/SDK/tlb/       *.tlb
#
# Each server's folder names what it contributes with velmo_sdk_files; the installer reads the
# whole list from velmo_sdk_manifest.
define_property(GLOBAL PROPERTY VELMO_SDK_FILES BRIEF_DOCS "SDK entries: folder|file")

# velmo_sdk_files([IDS <targets>...] [INCLUDE <files>...] [TYPELIBS <files>...]
#                 [SERVERS <targets>...])
# IDS are libraries of widl's X_i.c files: each goes in with its header X.h, which lies beside it.
function(velmo_sdk_files)
  cmake_parse_arguments(arg "" "" "IDS;INCLUDE;TYPELIBS;SERVERS" ${ARGN})
  foreach(target IN LISTS arg_IDS)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(source MATCHES "_i\\.c$")
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
        string(REGEX REPLACE "_i\\.c$" ".h" header ${source})
        list(APPEND arg_INCLUDE ${header} ${source})
      endif()
    endforeach()
  endforeach()
  foreach(file IN LISTS arg_INCLUDE)
    set_property(GLOBAL APPEND PROPERTY VELMO_SDK_FILES "SDK/include|${file}")
  endforeach()
  foreach(file IN LISTS arg_TYPELIBS)
    set_property(GLOBAL APPEND PROPERTY VELMO_SDK_FILES "SDK/tlb|${file}")
  endforeach()
  if(arg_INCLUDE)
    install(FILES ${arg_INCLUDE} DESTINATION SDK/include COMPONENT sdk)
  endif()
  if(arg_TYPELIBS)
    install(FILES ${arg_TYPELIBS} DESTINATION SDK/tlb COMPONENT sdk)
  endif()
  if(arg_SERVERS)
    # The import libraries are of no use to a COM caller: only the DLLs.
    install(TARGETS ${arg_SERVERS} RUNTIME DESTINATION . COMPONENT servers)
  endif()
endfunction()

# velmo_sdk_manifest(<path variable> <files variable>)
# Writes the SDK's files as "folder|file" lines for the installer, and names them for its
# dependencies. Call it once every server's folder has been read.
function(velmo_sdk_manifest path_var files_var)
  get_property(entries GLOBAL PROPERTY VELMO_SDK_FILES)
  set(path ${CMAKE_BINARY_DIR}/sdk-files.txt)
  set(files)
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^[^|]*\\|" "" file "${entry}")
    list(APPEND files ${file})
  endforeach()
  list(JOIN entries "\n" text)
  file(CONFIGURE OUTPUT ${path} CONTENT "${text}\n" @ONLY)
  set(${path_var} ${path} PARENT_SCOPE)
  set(${files_var} ${files} PARENT_SCOPE)
endfunction()
