// qvtestslots.h - what the worker's slot table holds, for tests and fuzz
// targets that look into it. No test framework needed.
#ifndef QV_TESTS_SUPPORT_QVTESTSLOTS_H
#define QV_TESTS_SUPPORT_QVTESTSLOTS_H

#include <functional>

#include "dispatch/qvsocketmanager.h"

namespace qvtest {

// How many slots of the table `match` holds for.
inline int SlotsWhere(const std::function<bool(const QvSocketManager::SlotView&)>& match) {
  QvSocketManager& m = QvSocketManager::Instance();
  int n = 0;
  for (int i = 0; i < m.Capacity(); ++i) n += match(m.Slot(i)) ? 1 : 0;
  return n;
}
inline int UsedSlots() {
  return SlotsWhere([](const QvSocketManager::SlotView& v) { return v.socketHandle != qvplat::kNoSocket; });
}
// The interest of the slot that holds `socket`, or -1 when none does.
inline int InterestOf(qvplat::Socket socket) {
  QvSocketManager& m = QvSocketManager::Instance();
  for (int i = 0; i < m.Capacity(); ++i) {
    if (m.Slot(i).socketHandle == socket) return static_cast<int>(m.Slot(i).interest);
  }
  return -1;
}

}  // namespace qvtest

#endif  // QV_TESTS_SUPPORT_QVTESTSLOTS_H
