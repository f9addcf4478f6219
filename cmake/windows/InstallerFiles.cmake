# Run by CPack once the folder that ships is staged, before makensis: the
# installer's lists of its files and sub-folders (see NSIS.template.in) and
# its size, for "Apps" / "Programs and Features".
if(NOT CPACK_GENERATOR STREQUAL "NSIS")
    return()
endif()

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE paths LIST_DIRECTORIES true RELATIVE "${staged}" "${staged}/*")
list(SORT paths)
set(CPACK_VELM_EACH_FILE "")
set(CPACK_VELM_REMOVE_SUBFOLDERS "")
set(bytes 0)
foreach(path IN LISTS paths)
    string(REPLACE "/" "\\" windows_path "${path}")
    if(IS_DIRECTORY "${staged}/${path}")
        # A sub-folder sorts after its parent: prepended, the deepest come first.
        string(PREPEND CPACK_VELM_REMOVE_SUBFOLDERS "    RMDir \"$INSTDIR\\${windows_path}\"\n")
        continue()
    endif()
    get_filename_component(folder "${path}" DIRECTORY)
    string(REPLACE "/" "\\" folder "$INSTDIR/${folder}")
    string(REGEX REPLACE "\\\\$" "" folder "${folder}")
    string(APPEND CPACK_VELM_EACH_FILE "    !insertmacro \${MACRO} \"${folder}\" \"${windows_path}\"\n")
    file(SIZE "${staged}/${path}" size)
    math(EXPR bytes "${bytes} + ${size}")
endforeach()
math(EXPR CPACK_VELM_SIZE_KB "(${bytes} + 1023) / 1024")
