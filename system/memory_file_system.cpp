// The in-memory drive. One lock guards everything; names are kept in one ordered map
// by their folded full path, so a folder's entries are a contiguous range of keys.
#include "system/memory_file_system.h"

#include <algorithm>
#include <set>

#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr SystemCode kInvalidHandle = 6;
constexpr std::uint64_t kStartTime = 133800000000000000;  // some day of 2025
constexpr std::uint64_t kTick = 10000000;                 // one second

struct Node {
  std::wstring display;  // the full path as created, components joined by '/'
  bool folder = false;
  std::uint64_t inode = 0;
  bool unreadable = false;  // folders only
};

struct Handle {
  bool write = false;
  bool read = false;
  unsigned share = 0;
  bool delete_on_close = false;
  std::wstring key;
};

struct Inode {
  bool unreadable = false;
  std::string content;
  std::string flushed;  // the bytes of the last flush
  bool read_only = false;
  bool hidden = false;
  std::uint64_t modified = 0;
  std::map<std::uint64_t, Handle> handles;
};

struct DurableInode {
  std::uint64_t size = 0;
  std::uint64_t modified = 0;
  bool read_only = false;
  bool hidden = false;
};

struct ParsedPath {
  std::vector<std::wstring> parts;  // as written
  std::wstring key;                 // folded parts joined by '\'
};

ParsedPath parse(const std::filesystem::path& path) {
  std::wstring text = path_to_utf16(path);
  if (text.starts_with(L"\\\\?\\")) text.erase(0, 4);
  ParsedPath parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring part = text.substr(start, end - start);
    if (part == L"..") {
      if (!parsed.parts.empty()) parsed.parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parsed.parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  for (const std::wstring& part : parsed.parts) {
    if (!parsed.key.empty()) parsed.key += L'\\';
    parsed.key += fold_path_case(part);
  }
  return parsed;
}

// "" (the root of a POSIX path) and "X:" always exist, as drives do.
bool is_volume(const std::vector<std::wstring>& parts) {
  if (parts.empty()) return true;
  if (parts.size() != 1) return false;
  const std::wstring& part = parts.front();
  return part.size() == 2 && part[1] == L':' && ((part[0] >= L'A' && part[0] <= L'Z') || (part[0] >= L'a' && part[0] <= L'z'));
}

ParsedPath parent_of(const ParsedPath& path) {
  ParsedPath parent;
  parent.parts.assign(path.parts.begin(), path.parts.end() - (path.parts.empty() ? 0 : 1));
  const std::size_t cut = path.key.rfind(L'\\');
  parent.key = cut == std::wstring::npos ? std::wstring() : path.key.substr(0, cut);
  return parent;
}

std::wstring display_of(const ParsedPath& path) {
  std::wstring display;
  for (const std::wstring& part : path.parts) {
    if (!display.empty()) display += L'/';
    display += part;
  }
  return display;
}

bool shares(const Handle& handle, unsigned wanted) { return (handle.share & wanted) == wanted; }

}  // namespace

struct MemoryFileSystem::State {
  std::mutex mutex;
  std::map<std::wstring, Node> names;
  std::map<std::uint64_t, Inode> inodes;
  std::map<std::wstring, Node> durable_names;
  std::map<std::uint64_t, DurableInode> durable_inodes;
  std::map<std::uint64_t, std::string> retired;  // flushed bytes of gone files the disk still has
  std::uint64_t next_inode = 1;
  std::uint64_t next_handle = 1;
  std::uint64_t generation = 0;
  std::uint64_t clock = kStartTime;

  std::uint64_t operations = 0;
  std::optional<std::uint64_t> cut_at;
  bool cut_loses_unflushed = true;  // a power cut; false: the process ended
  std::optional<std::uint64_t> fail_at;
  SystemCode fail_code = 0;
  bool fail_sticky = false;
  std::set<std::wstring> sticky_keys;
  bool dead = false;

  std::uint64_t capacity = UINT64_MAX;
  std::uint64_t used = 0;
  bool long_paths = false;
  std::function<void()> pause_hook;
  std::uint64_t pauses = 0;
  std::map<std::wstring, std::vector<std::string>> programs_using;  // by key

  // The answer to a call that changes `key` (and `other_key`): 0 to go ahead.
  SystemCode begin_change(const std::wstring& key, const std::wstring& other_key = {}) {
    if (dead) return system_code::not_ready;
    ++operations;
    if (cut_at && *cut_at == operations) {
      dead = true;
      return system_code::not_ready;
    }
    if (fail_at && *fail_at == operations) {
      if (fail_sticky) sticky_keys.insert(key);
      return fail_code;
    }
    if (sticky_keys.contains(key) || (!other_key.empty() && sticky_keys.contains(other_key))) return fail_code;
    clock += kTick;
    return 0;
  }

  Node* find(const std::wstring& key) {
    const auto found = names.find(key);
    return found == names.end() ? nullptr : &found->second;
  }

  // 0 when the folder that would hold `path` exists.
  SystemCode parent_ready(const ParsedPath& path) {
    const ParsedPath parent = parent_of(path);
    if (is_volume(parent.parts)) return 0;
    const Node* node = find(parent.key);
    return node != nullptr && node->folder ? 0 : system_code::path_not_found;
  }

  // 0, or what stops a missing name from being looked up or created.
  SystemCode missing_code(const ParsedPath& path) {
    return parent_ready(path) == 0 ? system_code::file_not_found : system_code::path_not_found;
  }

  bool has_children(const std::wstring& key) {
    const std::wstring prefix = key.empty() ? key : key + L'\\';
    const auto next = names.lower_bound(prefix);
    return next != names.end() && next->first.starts_with(prefix) && next->first != key;
  }

  // A numbered change that moves or copies `source` to `target`: 0 when `source` names
  // a file whose openers all allow `wanted` (deleting for a move, reading for a copy),
  // and `target` can take it: a file there is replaced when it is not read-only and
  // its openers allow `replacing`.
  SystemCode begin_transfer(const ParsedPath& source, const ParsedPath& target, unsigned wanted, unsigned replacing) {
    if (const SystemCode error = begin_change(target.key, source.key); error != 0) return error;
    const Node* from = find(source.key);
    if (from == nullptr) return missing_code(source);
    if (from->folder) return system_code::access_denied;  // the launcher moves and copies files only
    if (!all_share(inodes.at(from->inode), wanted)) return system_code::sharing_violation;
    if (const SystemCode error = parent_ready(target); error != 0) return error;
    const Node* to = find(target.key);
    if (to == nullptr || to->inode == from->inode) return 0;
    if (to->folder || inodes.at(to->inode).read_only) return system_code::access_denied;
    return all_share(inodes.at(to->inode), replacing) ? 0 : system_code::sharing_violation;
  }

  // Every open handle of the file allows `wanted` (e.g. delete) by others.
  bool all_share(const Inode& inode, unsigned wanted) {
    return std::all_of(inode.handles.begin(), inode.handles.end(),
                       [&](const auto& entry) { return shares(entry.second, wanted); });
  }

  void resize(Inode& inode, std::size_t size) {
    used = used - inode.content.size() + size;
    inode.content.resize(size, '\0');
  }

  bool fits(const Inode& inode, std::uint64_t new_size) const {
    return new_size <= inode.content.size() || used - inode.content.size() + new_size <= capacity;
  }

  void drop_name(const std::wstring& key) {
    const auto found = names.find(key);
    if (found == names.end()) return;
    const std::uint64_t inode_id = found->second.inode;
    names.erase(found);
    if (inode_id != 0) release_inode_if_unused(inode_id);
  }

  void release_inode_if_unused(std::uint64_t inode_id) {
    const auto inode = inodes.find(inode_id);
    if (inode == inodes.end() || !inode->second.handles.empty()) return;
    const bool named = std::any_of(names.begin(), names.end(),
                                   [&](const auto& entry) { return entry.second.inode == inode_id; });
    if (named) return;
    if (durable_inodes.contains(inode_id)) retired[inode_id] = std::move(inode->second.flushed);
    used -= inode->second.content.size();
    inodes.erase(inode);
  }

  // A write-through point: every change of names so far reaches the disk.
  void commit() {
    durable_names = names;
    durable_inodes.clear();
    retired.clear();
    for (const auto& [key, node] : names) {
      if (node.folder) continue;
      const Inode& inode = inodes.at(node.inode);
      durable_inodes[node.inode] = {inode.content.size(), inode.modified, inode.read_only, inode.hidden};
    }
  }

  void close(std::uint64_t inode_id, std::uint64_t handle_id) {
    const auto inode = inodes.find(inode_id);
    if (inode == inodes.end()) return;
    const auto handle = inode->second.handles.find(handle_id);
    if (handle == inode->second.handles.end()) return;
    const Handle closed = handle->second;
    inode->second.handles.erase(handle);
    if (closed.delete_on_close) {
      const Node* node = find(closed.key);
      if (node != nullptr && node->inode == inode_id) names.erase(closed.key);
    }
    release_inode_if_unused(inode_id);
  }
};

namespace {

class MemoryFile final : public OpenFile {
 public:
  MemoryFile(std::shared_ptr<MemoryFileSystem::State> state, std::uint64_t inode, std::uint64_t handle)
      : state_(std::move(state)), inode_(inode), handle_(handle), generation_(state_->generation) {}

  ~MemoryFile() override {
    const std::lock_guard lock(state_->mutex);
    if (state_->generation == generation_) state_->close(inode_, handle_);
  }

  SystemCode read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    const std::lock_guard lock(state_->mutex);
    Inode* inode = current();
    if (inode == nullptr) return state_->dead ? system_code::not_ready : kInvalidHandle;
    if (!inode->handles.at(handle_).read) return system_code::access_denied;  // opened to write only
    count = position_ < inode->content.size() ? std::min(buffer.size(), inode->content.size() - position_) : 0;
    std::copy_n(inode->content.data() + position_, count, reinterpret_cast<char*>(buffer.data()));
    position_ += count;
    return 0;
  }

  SystemCode write(std::span<const std::uint8_t> bytes) override {
    const std::lock_guard lock(state_->mutex);
    Inode* inode = writable();
    if (inode == nullptr) return failure();
    if (const SystemCode error = state_->begin_change(key()); error != 0) return error;
    const std::size_t end = position_ + bytes.size();
    if (!state_->fits(*inode, end)) return system_code::disk_full;
    if (end > inode->content.size()) state_->resize(*inode, end);
    std::copy(bytes.begin(), bytes.end(), inode->content.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = end;
    inode->modified = state_->clock;
    return 0;
  }

  SystemCode flush() override {
    const std::lock_guard lock(state_->mutex);
    Inode* inode = writable();
    if (inode == nullptr) return failure();
    if (const SystemCode error = state_->begin_change(key()); error != 0) return error;
    inode->flushed = inode->content;
    state_->commit();
    return 0;
  }

  SystemCode size(std::uint64_t& bytes) override {
    const std::lock_guard lock(state_->mutex);
    Inode* inode = current();
    if (inode == nullptr) return state_->dead ? system_code::not_ready : kInvalidHandle;
    bytes = inode->content.size();
    return 0;
  }

  SystemCode truncate(std::uint64_t bytes) override {
    const std::lock_guard lock(state_->mutex);
    Inode* inode = writable();
    if (inode == nullptr) return failure();
    if (const SystemCode error = state_->begin_change(key()); error != 0) return error;
    if (!state_->fits(*inode, bytes)) return system_code::disk_full;
    state_->resize(*inode, static_cast<std::size_t>(bytes));
    position_ = static_cast<std::size_t>(bytes);
    inode->modified = state_->clock;
    return 0;
  }

  SystemCode seek(std::uint64_t offset) override {
    const std::lock_guard lock(state_->mutex);
    if (current() == nullptr) return state_->dead ? system_code::not_ready : kInvalidHandle;
    position_ = static_cast<std::size_t>(offset);
    return 0;
  }

 private:
  Inode* current() {
    if (state_->dead || state_->generation != generation_) return nullptr;
    const auto inode = state_->inodes.find(inode_);
    return inode == state_->inodes.end() ? nullptr : &inode->second;
  }
  Inode* writable() {
    Inode* inode = current();
    return inode != nullptr && inode->handles.at(handle_).write ? inode : nullptr;
  }
  SystemCode failure() {
    if (state_->dead) return system_code::not_ready;
    return current() == nullptr ? kInvalidHandle : system_code::access_denied;
  }
  const std::wstring& key() { return state_->inodes.at(inode_).handles.at(handle_).key; }

  std::shared_ptr<MemoryFileSystem::State> state_;
  std::uint64_t inode_;
  std::uint64_t handle_;
  std::uint64_t generation_;
  std::size_t position_ = 0;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem() : state_(std::make_shared<State>()) {}
MemoryFileSystem::~MemoryFileSystem() = default;

std::uint64_t MemoryFileSystem::operations() const {
  const std::lock_guard lock(state_->mutex);
  return state_->operations;
}

void MemoryFileSystem::fail_operation(std::uint64_t number, SystemCode code, bool sticky) {
  const std::lock_guard lock(state_->mutex);
  state_->fail_at = number;
  state_->fail_code = code;
  state_->fail_sticky = sticky;
}

void MemoryFileSystem::cut_power_before(std::uint64_t number) {
  const std::lock_guard lock(state_->mutex);
  state_->cut_at = number;
  state_->cut_loses_unflushed = true;
}

void MemoryFileSystem::end_process_before(std::uint64_t number) {
  const std::lock_guard lock(state_->mutex);
  state_->cut_at = number;
  state_->cut_loses_unflushed = false;
}

void MemoryFileSystem::clear_faults() {
  const std::lock_guard lock(state_->mutex);
  state_->cut_at.reset();
  state_->fail_at.reset();
  state_->sticky_keys.clear();
}

bool MemoryFileSystem::power_is_cut() const {
  const std::lock_guard lock(state_->mutex);
  return state_->dead;
}

void MemoryFileSystem::restart() {
  const std::lock_guard lock(state_->mutex);
  State& state = *state_;
  ++state.generation;
  state.dead = false;
  state.cut_at.reset();
  if (!state.cut_loses_unflushed) {
    // The process is gone, the disk is not: only its open files close.
    for (auto& [id, inode] : state.inodes) inode.handles.clear();
    for (auto inode = state.inodes.begin(); inode != state.inodes.end();) {
      const std::uint64_t id = inode->first;
      ++inode;
      state.release_inode_if_unused(id);
    }
    return;
  }
  state.names = state.durable_names;
  std::map<std::uint64_t, Inode> survivors;
  state.used = 0;
  for (const auto& [id, durable] : state.durable_inodes) {
    Inode inode;
    const auto live = state.inodes.find(id);
    inode.content = live != state.inodes.end() ? live->second.flushed : state.retired.at(id);
    inode.content.resize(static_cast<std::size_t>(durable.size), '\0');
    inode.flushed = inode.content;
    inode.modified = durable.modified;
    inode.read_only = durable.read_only;
    inode.hidden = durable.hidden;
    state.used += inode.content.size();
    survivors.emplace(id, std::move(inode));
  }
  state.inodes = std::move(survivors);
  state.commit();
}

void MemoryFileSystem::set_capacity(std::uint64_t bytes) {
  const std::lock_guard lock(state_->mutex);
  state_->capacity = bytes;
}

void MemoryFileSystem::set_free_space(std::uint64_t bytes) {
  const std::lock_guard lock(state_->mutex);
  state_->capacity = state_->used + bytes;
}

void MemoryFileSystem::set_long_paths_enabled(bool enabled) {
  const std::lock_guard lock(state_->mutex);
  state_->long_paths = enabled;
}

void MemoryFileSystem::on_pause(std::function<void()> hook) {
  const std::lock_guard lock(state_->mutex);
  state_->pause_hook = std::move(hook);
}

std::uint64_t MemoryFileSystem::pauses() const {
  const std::lock_guard lock(state_->mutex);
  return state_->pauses;
}

void MemoryFileSystem::set_modified(const std::filesystem::path& path, std::uint64_t modified) {
  const std::lock_guard lock(state_->mutex);
  const Node* node = state_->find(parse(path).key);
  if (node != nullptr && !node->folder) state_->inodes.at(node->inode).modified = modified;
}

void MemoryFileSystem::set_unreadable(const std::filesystem::path& path) {
  const std::lock_guard lock(state_->mutex);
  Node* node = state_->find(parse(path).key);
  if (node == nullptr) return;
  if (node->folder) {
    node->unreadable = true;
  } else {
    state_->inodes.at(node->inode).unreadable = true;
  }
}

void MemoryFileSystem::set_programs_using(const std::filesystem::path& path, std::vector<std::string> programs) {
  const std::lock_guard lock(state_->mutex);
  state_->programs_using[parse(path).key] = std::move(programs);
}

std::vector<std::string> MemoryFileSystem::programs_using(const std::vector<std::filesystem::path>& paths) {
  const std::lock_guard lock(state_->mutex);
  std::vector<std::string> programs;
  for (const auto& path : paths) {
    const auto found = state_->programs_using.find(parse(path).key);
    if (found != state_->programs_using.end()) programs.insert(programs.end(), found->second.begin(), found->second.end());
  }
  return programs;
}

std::map<std::string, std::string> MemoryFileSystem::files_below(const std::filesystem::path& folder) const {
  const std::lock_guard lock(state_->mutex);
  const ParsedPath parsed = parse(folder);
  const std::wstring prefix = parsed.key.empty() ? parsed.key : parsed.key + L'\\';
  std::map<std::string, std::string> files;
  for (auto entry = state_->names.lower_bound(prefix); entry != state_->names.end(); ++entry) {
    if (!entry->first.starts_with(prefix)) break;
    if (entry->second.folder) continue;
    // The display path has as many '/' before the relative part as the folder has parts.
    std::size_t start = 0;
    for (std::size_t part = 0; part < parsed.parts.size(); ++part) start = entry->second.display.find(L'/', start) + 1;
    files[to_utf8_lenient(entry->second.display.substr(start))] = state_->inodes.at(entry->second.inode).content;
  }
  return files;
}

SystemCode MemoryFileSystem::status(const std::filesystem::path& path, FileStatus& status) {
  const std::lock_guard lock(state_->mutex);
  if (state_->dead) return system_code::not_ready;
  const ParsedPath parsed = parse(path);
  if (is_volume(parsed.parts)) {
    status = FileStatus{.folder = true};
    return 0;
  }
  const Node* node = state_->find(parsed.key);
  if (node == nullptr) return state_->missing_code(parsed);
  status = FileStatus{};
  status.folder = node->folder;
  if (!node->folder) {
    const Inode& inode = state_->inodes.at(node->inode);
    status.read_only = inode.read_only;
    status.hidden = inode.hidden;
    status.size = inode.content.size();
    status.modified = inode.modified;
  }
  return 0;
}

namespace {

// A file's attribute; folders have none here.
SystemCode set_attribute(MemoryFileSystem::State& state, const std::filesystem::path& path, bool Inode::*attribute,
                         bool on) {
  const std::lock_guard lock(state.mutex);
  const ParsedPath parsed = parse(path);
  if (const SystemCode error = state.begin_change(parsed.key); error != 0) return error;
  const Node* node = state.find(parsed.key);
  if (node == nullptr) return state.missing_code(parsed);
  if (!node->folder) state.inodes.at(node->inode).*attribute = on;
  return 0;
}

}  // namespace

SystemCode MemoryFileSystem::set_read_only(const std::filesystem::path& path, bool read_only) {
  return set_attribute(*state_, path, &Inode::read_only, read_only);
}

SystemCode MemoryFileSystem::set_hidden(const std::filesystem::path& path, bool hidden) {
  return set_attribute(*state_, path, &Inode::hidden, hidden);
}

SystemCode MemoryFileSystem::create_folder(const std::filesystem::path& path) {
  const std::lock_guard lock(state_->mutex);
  const ParsedPath parsed = parse(path);
  if (const SystemCode error = state_->begin_change(parsed.key); error != 0) return error;
  if (is_volume(parsed.parts) || state_->find(parsed.key) != nullptr) return system_code::already_exists;
  if (const SystemCode error = state_->parent_ready(parsed); error != 0) return error;
  state_->names[parsed.key] = Node{display_of(parsed), true, 0};
  return 0;
}

SystemCode MemoryFileSystem::remove_folder(const std::filesystem::path& path) {
  const std::lock_guard lock(state_->mutex);
  const ParsedPath parsed = parse(path);
  if (const SystemCode error = state_->begin_change(parsed.key); error != 0) return error;
  const Node* node = state_->find(parsed.key);
  if (node == nullptr) return state_->missing_code(parsed);
  if (!node->folder) return system_code::not_a_folder;
  if (state_->has_children(parsed.key)) return system_code::folder_not_empty;
  state_->names.erase(parsed.key);
  return 0;
}

SystemCode MemoryFileSystem::open(const std::filesystem::path& path, const OpenRequest& request,
                                  std::unique_ptr<OpenFile>& file) {
  const std::lock_guard lock(state_->mutex);
  State& state = *state_;
  const ParsedPath parsed = parse(path);
  const bool write = request.access != OpenRequest::Access::read;
  const bool read = request.access != OpenRequest::Access::write;
  const bool creates = request.disposition != OpenRequest::Disposition::open_existing;
  if (write || creates || request.delete_on_close) {
    if (const SystemCode error = state.begin_change(parsed.key); error != 0) return error;
  } else if (state.dead) {
    return system_code::not_ready;
  }
  const Node* node = state.find(parsed.key);
  if (node != nullptr && node->folder) return system_code::access_denied;
  if (node == nullptr && is_volume(parsed.parts)) return system_code::access_denied;
  if (node == nullptr && !creates) return state.missing_code(parsed);
  if (node == nullptr) {
    if (const SystemCode error = state.parent_ready(parsed); error != 0) return error;
    const std::uint64_t id = state.next_inode++;
    state.inodes[id].modified = state.clock;
    state.names[parsed.key] = Node{display_of(parsed), false, id};
    node = state.find(parsed.key);
  } else {
    Inode& inode = state.inodes.at(node->inode);
    if (inode.unreadable) return system_code::access_denied;
    if ((write || request.delete_on_close) && inode.read_only) return system_code::access_denied;
    if (request.disposition == OpenRequest::Disposition::create_always && inode.hidden) {
      return system_code::access_denied;
    }
    for (const auto& [id, other] : inode.handles) {
      const unsigned wanted = (write ? OpenRequest::share_write : 0u) | (read ? OpenRequest::share_read : 0u);
      const unsigned theirs =
          (other.write ? OpenRequest::share_write : 0u) | (other.read ? OpenRequest::share_read : 0u);
      if (!shares(other, wanted) || (request.share & theirs) != theirs) return system_code::sharing_violation;
    }
    if (request.disposition == OpenRequest::Disposition::create_always) {
      state.resize(inode, 0);
      inode.modified = state.clock;
    }
  }
  const std::uint64_t handle_id = state.next_handle++;
  state.inodes.at(node->inode).handles[handle_id] =
      Handle{write, read, request.share, request.delete_on_close, parsed.key};
  file = std::make_unique<MemoryFile>(state_, node->inode, handle_id);
  return 0;
}

SystemCode MemoryFileSystem::move(const std::filesystem::path& source, const std::filesystem::path& target) {
  return transfer(source, target, false);
}

SystemCode MemoryFileSystem::copy(const std::filesystem::path& source, const std::filesystem::path& target) {
  return transfer(source, target, true);
}

// A move takes the file's name away (its openers must allow deleting); a copy reads it
// into a new file that is not durable until flushed.
SystemCode MemoryFileSystem::transfer(const std::filesystem::path& source, const std::filesystem::path& target,
                                      bool copy) {
  const std::lock_guard lock(state_->mutex);
  State& state = *state_;
  const ParsedPath from = parse(source);
  const ParsedPath to = parse(target);
  const unsigned wanted = copy ? OpenRequest::share_read : OpenRequest::share_delete;
  const unsigned replacing = copy ? OpenRequest::share_write : OpenRequest::share_delete;
  if (const SystemCode error = state.begin_transfer(from, to, wanted, replacing); error != 0) return error;
  const Inode& source_inode = state.inodes.at(state.find(from.key)->inode);
  const Node* existing = state.find(to.key);
  // CopyFileW, like CreateFileW with CREATE_ALWAYS, refuses to overwrite a hidden file.
  if (copy && existing != nullptr && existing != state.find(from.key) && state.inodes.at(existing->inode).hidden) {
    return system_code::access_denied;
  }
  if (!copy) {
    const std::uint64_t inode_id = state.find(from.key)->inode;
    state.names.erase(from.key);
    state.drop_name(to.key);
    state.names[to.key] = Node{display_of(to), false, inode_id};
    state.commit();  // moves are write-through
    return 0;
  }
  const std::uint64_t old_size = existing != nullptr ? state.inodes.at(existing->inode).content.size() : 0;
  if (state.used - old_size + source_inode.content.size() > state.capacity) return system_code::disk_full;
  Inode copied;
  copied.content = source_inode.content;
  copied.modified = source_inode.modified;  // as CopyFileW does
  const std::uint64_t id = state.next_inode++;
  state.drop_name(to.key);
  state.used += copied.content.size();
  state.inodes.emplace(id, std::move(copied));
  state.names[to.key] = Node{display_of(to), false, id};
  return 0;
}

SystemCode MemoryFileSystem::remove_file(const std::filesystem::path& path) {
  const std::lock_guard lock(state_->mutex);
  State& state = *state_;
  const ParsedPath parsed = parse(path);
  if (const SystemCode error = state.begin_change(parsed.key); error != 0) return error;
  const Node* node = state.find(parsed.key);
  if (node == nullptr) return state.missing_code(parsed);
  if (node->folder) return system_code::access_denied;
  const Inode& inode = state.inodes.at(node->inode);
  if (inode.read_only) return system_code::access_denied;
  if (!state.all_share(inode, OpenRequest::share_delete)) return system_code::sharing_violation;
  state.drop_name(parsed.key);
  return 0;
}

FolderContents MemoryFileSystem::list(const std::filesystem::path& folder) {
  const std::lock_guard lock(state_->mutex);
  FolderContents contents;
  if (state_->dead) {
    contents.open_error = system_code::not_ready;
    return contents;
  }
  const ParsedPath parsed = parse(folder);
  if (!is_volume(parsed.parts)) {
    const Node* node = state_->find(parsed.key);
    if (node == nullptr) {
      contents.open_error = system_code::path_not_found;
      return contents;
    }
    if (!node->folder || node->unreadable) {
      contents.open_error = node->folder ? system_code::access_denied : system_code::not_a_folder;
      return contents;
    }
  }
  const std::wstring prefix = parsed.key.empty() ? parsed.key : parsed.key + L'\\';
  for (auto entry = state_->names.lower_bound(prefix); entry != state_->names.end(); ++entry) {
    if (!entry->first.starts_with(prefix)) break;
    if (entry->first.find(L'\\', prefix.size()) != std::wstring::npos) continue;  // deeper down
    const Node& node = entry->second;
    FolderEntry listed;
    listed.name = path_from_utf16(node.display.substr(node.display.rfind(L'/') + 1)).native();
    listed.status.folder = node.folder;
    if (!node.folder) {
      const Inode& inode = state_->inodes.at(node.inode);
      listed.status.read_only = inode.read_only;
      listed.status.hidden = inode.hidden;
      listed.status.size = inode.content.size();
      listed.status.modified = inode.modified;
    }
    contents.entries.push_back(std::move(listed));
  }
  return contents;
}

SystemCode MemoryFileSystem::free_space(const std::filesystem::path& folder, std::uint64_t& bytes) {
  const std::lock_guard lock(state_->mutex);
  if (state_->dead) return system_code::not_ready;
  const ParsedPath parsed = parse(folder);
  if (!is_volume(parsed.parts) && state_->find(parsed.key) == nullptr) return state_->missing_code(parsed);
  bytes = state_->capacity - std::min(state_->capacity, state_->used);
  return 0;
}

bool MemoryFileSystem::long_paths_enabled() {
  const std::lock_guard lock(state_->mutex);
  return state_->long_paths;
}

void MemoryFileSystem::pause(std::chrono::milliseconds) {
  std::function<void()> hook;
  {
    const std::lock_guard lock(state_->mutex);
    ++state_->pauses;
    hook = state_->pause_hook;
  }
  if (hook) hook();
}

}  // namespace kaldren::patcher
