#include "ui/taskbar_progress.h"

#include <algorithm>

#include "core/log.h"

namespace kaldren::patcher {

void TaskbarProgress::show(HWND window, const UpdateStatus& status) {
  if (unavailable_) return;
  if (!list_) {
    void* created = nullptr;
    const HRESULT result =
        CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, &created);
    list_.reset(static_cast<ITaskbarList3*>(created));
    if (FAILED(result) || !list_ || FAILED(list_.get()->HrInit())) {
      log(LogLevel::debug, "No taskbar progress (HRESULT {:#010x})", static_cast<std::uint32_t>(result));
      list_.reset();
      unavailable_ = true;
      return;
    }
  }
  const TBPFLAG state = status.phase == UpdateStatus::complete ? TBPF_NOPROGRESS
                        : status.phase == UpdateStatus::failed ? TBPF_ERROR
                        : status.total == 0                    ? TBPF_INDETERMINATE
                                                               : TBPF_NORMAL;
  if (state != state_) {
    list_.get()->SetProgressState(window, state);
    state_ = state;
    total_ = 0;  // a new state shows its value afresh
  }
  if ((state == TBPF_NORMAL || state == TBPF_ERROR) && status.total != 0 &&
      (status.done != completed_ || status.total != total_)) {
    list_.get()->SetProgressValue(window, std::min(status.done, status.total), status.total);
    completed_ = status.done;
    total_ = status.total;
  }
}

}  // namespace kaldren::patcher
