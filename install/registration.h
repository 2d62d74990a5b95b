// How an installed game shows up in Windows: the per-user uninstall registration and
// the Start-menu and desktop shortcuts. Removals touch only what names this installation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>

namespace kaldren::patcher {

// The current user's known folder, created when missing; PatchError io
// "Could not locate a Windows folder".
std::wstring known_folder_path(const GUID& folder_id);

std::wstring start_menu_shortcut_path();
std::wstring desktop_shortcut_path();

// Creates or overwrites a shortcut; PatchError io "<step> (HRESULT 0x........)".
// Any thread: both shortcut calls initialise COM (apartment-threaded) for their own
// length, so the setup's job thread, which has no COM of its own, can call them.
void create_shortcut(const std::wstring& shortcut, const std::wstring& target, const std::wstring& working_folder,
                     const std::wstring& description);
// Deletes the shortcut only when it points at `expected_target`; never fails.
void remove_shortcut(const std::wstring& shortcut, const std::wstring& expected_target);

// "EstimatedSize": KiB, 0xFFFFFFFF from 4 TiB on.
std::uint32_t estimated_size_kib(std::uint64_t install_size);

// Writes the registration of `root` (replacing another installation's); PatchError io.
void register_installation(const std::wstring& root, const std::wstring& version, std::uint64_t install_size);
// Refreshes version and size when the registration names `root`; otherwise nothing.
void update_registration(const std::wstring& root, const std::wstring& version, std::uint64_t install_size);
// Removes the registration when it names `root`; never fails.
void unregister_installation(const std::wstring& root);

}  // namespace kaldren::patcher
