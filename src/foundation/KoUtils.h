#pragma once
// Support routines shared by every layer.

#include <string>
#include <string_view>

// UTF-16 <-> UTF-8 (exception messages are UTF-8; the Windows API speaks UTF-16).
std::string KoUtf8(std::wstring_view Text);
std::wstring KoWide(std::string_view Utf8);
