#pragma once
// UTF-8 validation and lossy decoding, without any library.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorbel::utf8 {

// Length of the longest prefix of `bytes` made of complete, valid UTF-8 sequences, stopping
// before the first invalid or incomplete one.
std::size_t validPrefixLength(std::string_view bytes);

// Turns `bytes` into valid UTF-8: every maximal invalid subpart becomes U+FFFD.
// `alreadyValid` bytes at the start are known to be valid and are not checked again.
std::string decodeLossy(std::string bytes, std::size_t alreadyValid = 0);

}  // namespace quorbel::utf8
