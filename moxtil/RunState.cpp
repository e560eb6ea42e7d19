#include "moxtil/RunState.h"

int _TimeOutmSecond = 0;
std::atomic<int> _IsTimeOut{0};
std::atomic<int> _swupError{0};
std::atomic<int> _currentSwupNum{0};
std::atomic<int> _totalSwupNum{0};
util_mutex_t _hMtxProgress = nullptr;
util_mutex_t _hMtxError = nullptr;

PROCESS_INFO process_info[kProcessSlots];

namespace {
// No option sets another mode; the program serves one target at a time.
constexpr int _option = 0;
}  // namespace

int IsFirstSoftwareUpdate() { return _currentSwupNum == 0 ? 1 : 0; }

int IsSoftwareUpdate() { return _totalSwupNum > _currentSwupNum ? 1 : 0; }

int IsError() { return _swupError; }

void SoftwareUpError() {
  util_mutex_lock(_hMtxError);
  _swupError = 1;
  util_mutex_unlock(_hMtxError);
}

void CountUpSoftwareUpdate() {
  util_mutex_lock(_hMtxProgress);
  ++_currentSwupNum;
  util_mutex_unlock(_hMtxProgress);
}

TMO ThreadTimeOut() { return _TimeOutmSecond >= 1 ? _TimeOutmSecond / 10 : TMO_FEVR; }

int emptyProcess() {
  for (int n = 0; n < kProcessSlots; ++n) {
    if (process_info[n].status == 0) return n;
  }
  return -1;
}

int makeProcessNo() {
  int n = emptyProcess();
  if (n >= 0) process_info[n].status = -1;
  return n;
}

void cancelProcessNo(int n) {
  if (n >= 0 && n < kProcessSlots) process_info[n].status = 0;
}

int IsProcessStart() {
  for (const PROCESS_INFO& slot : process_info) {
    if (slot.status != 0) return 1;
  }
  return 0;
}

int IsSingleTargetMode() { return _option == 0 ? 1 : 0; }

void ResetRunState() {
  _TimeOutmSecond = 0;
  _IsTimeOut = 0;
  _swupError = 0;
  _currentSwupNum = 0;
  _totalSwupNum = 0;
  for (PROCESS_INFO& slot : process_info) slot.status = 0;
}
