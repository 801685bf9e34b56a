# The one source of the program's version strings. Both the Windows version
# resource and the table compiled into the Linux build are generated from it.
set(HP_VERSION_NUMERIC 0,1,0,19)
set(HP_PRODUCT_VERSION_NUMERIC 0,0,0,0)
set(HP_VERSION_LANGUAGE 0809)   # English (United Kingdom)
set(HP_VERSION_CODEPAGE 04E4)   # 1252
set(HP_VERSION_KEYS
  ProductName FileVersion CompanyName FileDescription InternalName
  OriginalFilename LegalCopyright LegalTrademarks ProductVersion Comments)
set(HP_VER_ProductName "Hilt-Push")
set(HP_VER_FileVersion "0.1.0.19")
set(HP_VER_CompanyName "Hilt-Push Developers")
set(HP_VER_FileDescription "hiltpush")
set(HP_VER_InternalName "Hilt-Push")
set(HP_VER_OriginalFilename "hiltpush.exe")
set(HP_VER_LegalCopyright "")
set(HP_VER_LegalTrademarks "")
set(HP_VER_ProductVersion "")
set(HP_VER_Comments "")

# Writes OUT_TABLE (a C++ initialiser list of {key, value} pairs) and, for
# Windows, OUT_RC (a VERSIONINFO resource script).
function(hp_generate_version_files OUT_TABLE OUT_RC)
  set(table "")
  set(rc_strings "")
  foreach(key IN LISTS HP_VERSION_KEYS)
    set(value "${HP_VER_${key}}")
    string(APPEND table "    {\"${key}\", \"${value}\"},\n")
    string(APPEND rc_strings "      VALUE \"${key}\", \"${value}\\0\"\n")
  endforeach()
  file(WRITE "${OUT_TABLE}.tmp" "// Generated from cmake/VersionInfo.cmake; do not edit.\n${table}")
  configure_file("${OUT_TABLE}.tmp" "${OUT_TABLE}" COPYONLY)
  file(WRITE "${OUT_RC}.tmp"
"// Generated from cmake/VersionInfo.cmake; do not edit.
#include <winver.h>
1 VERSIONINFO
FILEVERSION ${HP_VERSION_NUMERIC}
PRODUCTVERSION ${HP_PRODUCT_VERSION_NUMERIC}
FILEFLAGSMASK 0x3fL
FILEFLAGS 0x0L
FILEOS VOS__WINDOWS32
FILETYPE VFT_APP
FILESUBTYPE 0x0L
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"${HP_VERSION_LANGUAGE}${HP_VERSION_CODEPAGE}\"
    BEGIN
${rc_strings}    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x${HP_VERSION_LANGUAGE}, 1252
  END
END
")
  configure_file("${OUT_RC}.tmp" "${OUT_RC}" COPYONLY)
endfunction()
