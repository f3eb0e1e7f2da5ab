// Reading and writing one hive as REGEDIT4 text (UTF-8). Internal to the registry.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Ostrel]
//   "Name"="text"                     REG_SZ (with \\ and \" escapes)
//   @="text"                          the key's default value
//   "Count"=dword:0000001e            REG_DWORD
//   "Blob"=hex:01,02,ff               REG_BINARY, long lists continue after ",\" on the next line
//   "List"=hex(7):61,00,00,00,00,00   REG_MULTI_SZ; hex(1) and hex(2) likewise hold UTF-16LE text
//   "Big"=hex(b):...                  any other type: its raw bytes
//
// Lines starting with ';' are comments. Every key is written, so empty keys survive.
#pragma once

#include "Platform/Registry/RegTree.h"

#include <memory>
#include <string>
#include <string_view>

namespace Platform::RegFile {

struct ParseResult {
    std::unique_ptr<RegTree::Key> pRoot;  // everything that could be read
    unsigned uErrorLine = 0;              // first bad line (1-based); 0 when the text parsed fully
    std::string sError;
};

// `wsRootName` is the hive's name ("HKEY_CURRENT_USER"); keys of other hives are errors.
ParseResult Parse(std::string_view text, std::wstring_view wsRootName);
std::string Format(const RegTree::Key& root, std::wstring_view wsRootName);

}  // namespace Platform::RegFile
