#include "system/folder_lock.h"

#include "core/text.h"
#include "protocol/crypto.h"
#include "protocol/encoding.h"

namespace kaldren::patcher {

std::wstring lock_name(std::wstring_view key) {
  constexpr std::size_t kLockDigestBytes = 12;
  const Sha256Digest digest = sha256(to_utf8(fold_path_case(key)));
  const std::string hex = to_hex(std::span(digest.data(), kLockDigestBytes));
  return L"Local\\KaldrenMorvale.Lanternix." + to_utf16(hex);
}

}  // namespace kaldren::patcher
