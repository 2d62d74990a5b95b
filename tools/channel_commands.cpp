#include "tools/channel_commands.h"

#include <fmt/format.h>

#include "protocol/manifest.h"
#include "tools/channel_release.h"
#include "tools/release_objects.h"
#include "tools/signing_key.h"
#include "tools/site_lock.h"

namespace kaldren::patcher::publish {

ChannelSummary release_again(const ChannelRequest& request) {
  const SigningKeys keys = load_signing_keys(request.keys);
  std::error_code error;
  if (!std::filesystem::is_directory(request.site, error))
    throw ToolError(fmt::format("{} is not a site folder", request.site.string()));
  SiteLock lock(request.site);
  const std::string what_for = request.from == request.to ? "sign again" : "promote";
  const Release source = current_release(request.site, request.from, keys.public_keys, what_for);
  // Objects are never copied: the release must find all of its own where they are.
  for (const ReachedObject& object : release_content(request.site, source).objects) {
    const auto path = request.site / object_path(object.ref);
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size != object.ref.stored_size) {
      throw ToolError(fmt::format("{}: object {} is {}; nothing was signed", object.name, object_path(object.ref),
                                  error ? "missing" : "of another size than the release says"));
    }
  }
  const std::uint64_t sequence = next_sequence(request.site, request.to, keys.public_keys, request.sequence);
  const ReleasePayload payload =
      payload_of(source, request.to, sequence, request.published_at.empty() ? utc_now_text() : request.published_at,
                 request.expires_at);
  LiveRelease live = put_release_live(request.site, request.to, payload, keys, {});
  return {std::move(live.release), std::move(live.written)};
}

}  // namespace kaldren::patcher::publish
