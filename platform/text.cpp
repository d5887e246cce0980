#include "platform/text.h"

#include <boost/locale/utf.hpp>
#include <boost/locale/encoding_utf.hpp>

namespace platform {

using boost::locale::conv::utf_to_utf;

std::wstring fromUtf8(const std::string& utf8) { return utf_to_utf<wchar_t>(utf8); }
std::string toUtf8(const std::wstring& wide) { return utf_to_utf<char>(wide); }
std::u16string toUtf16(const std::wstring& wide) { return utf_to_utf<char16_t>(wide); }
std::wstring fromUtf16(const std::u16string& utf16) { return utf_to_utf<wchar_t>(utf16); }

}  // namespace platform
