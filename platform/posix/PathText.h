// Internal to the POSIX layer: command-line bytes as wide text and back,
// without loss in any locale.
#pragma once

#include <string>

namespace pelorin_win::detail {

// Bytes that do not decode in the locale's encoding become U+DC80..U+DCFF,
// one per byte (the escapes Python calls "surrogateescape"), so that
// NarrowText gives back the very same bytes.
std::wstring WidenText(const char* bytes);
// The inverse of WidenText: escapes become their byte again, everything else
// is encoded in the locale's encoding ('?' for what it cannot express).
std::string NarrowText(const wchar_t* text);

}  // namespace pelorin_win::detail
