# The Windows zip, qvotk-<version>-win32.zip or -win64.zip: the DLL, an
# import library for MSVC hosts (qvotk.lib) and one for mingw hosts
# (libqvotk.dll.a), the header, qvotk.exe, the README and the licence.
# mingw's dlltool makes x86 import libraries that MSVC's /SAFESEH refuses;
# llvm-dlltool's are accepted, made from the same .def as mingw's.
find_program(QVO_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(QVO_ZIP_TOOL zip REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QVO_ZIP_BITS 32)
  set(machine i386)
else()
  set(QVO_ZIP_BITS 64)
  set(machine i386:x86-64)
endif()
set(QVO_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/qvotk-${PROJECT_VERSION}-win${QVO_ZIP_BITS}.zip)
set(stage ${CMAKE_BINARY_DIR}/zip-stage)
add_custom_command(OUTPUT ${QVO_WINDOWS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${QVO_WINDOWS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  COMMAND ${QVO_LLVM_DLLTOOL} -m ${machine} -d ${CMAKE_BINARY_DIR}/qvotk-import.def -D qvotk.dll -k
    -l ${stage}/qvotk.lib
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qvotk> $<TARGET_LINKER_FILE:qvotk> $<TARGET_FILE:qvotk_cli>
    ${PROJECT_SOURCE_DIR}/include/qvotk/qvotk.h ${stage}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${stage}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${stage}/LICENSE.txt
  COMMAND ${QVO_ZIP_TOOL} -q -X -j ${QVO_WINDOWS_ZIP} ${stage}/qvotk.dll ${stage}/qvotk.lib ${stage}/$<TARGET_LINKER_FILE_NAME:qvotk>
    ${stage}/qvotk.h ${stage}/$<TARGET_FILE_NAME:qvotk_cli> ${stage}/README.txt ${stage}/LICENSE.txt
  DEPENDS qvotk qvotk_cli ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
    ${PROJECT_SOURCE_DIR}/include/qvotk/qvotk.h
  COMMENT "qvotk-${PROJECT_VERSION}-win${QVO_ZIP_BITS}.zip"
  VERBATIM)
add_custom_target(windows-zip ALL DEPENDS ${QVO_WINDOWS_ZIP})

# A C caller linked with MSVC's linker stand-in, lld-link, against the zip's
# qvotk.lib: on x86 with /SAFESEH.
if(QVO_BUILD_TESTS)
  add_test(NAME windows_zip_links_msvc_callers
    COMMAND sh ${PROJECT_SOURCE_DIR}/tests/windows_zip_link.sh ${QVO_WINDOWS_ZIP} ${QVO_ZIP_BITS})
endif()
