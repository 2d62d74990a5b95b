// The window's taskbar button as a progress bar (ITaskbarList3): normal while the job
// works, the error state after a failure, none once done. COM must be initialised on
// the window thread; without it (or the taskbar) the button just shows no progress.
#pragma once

#include <windows.h>

#include <shobjidl.h>

#include <cstdint>

#include "core/owned_handle.h"
#include "engine/update_engine.h"

namespace kaldren::patcher {

class TaskbarProgress {
 public:
  // Window thread only: mirrors `status` on `window`'s button, calling only on change.
  void show(HWND window, const UpdateStatus& status);
  // The button was (re)created, as when Explorer restarts: show everything afresh.
  void forget_shown() noexcept {
    state_ = static_cast<TBPFLAG>(-1);
    total_ = 0;
  }

 private:
  static void release(ITaskbarList3* list) noexcept { list->Release(); }
  OwnedHandle<ClosedBy<ITaskbarList3*, release>> list_;
  bool unavailable_ = false;
  TBPFLAG state_ = TBPF_NOPROGRESS;
  std::uint64_t completed_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace kaldren::patcher
