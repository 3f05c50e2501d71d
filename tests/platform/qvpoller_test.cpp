// The dispatcher's poller on its own, over loopback sockets: sockets stay
// watched from wait to wait until unwatched, a stale tag cannot unwatch a
// socket, a full socket is not reported writable, and a
// socket the system cannot watch is reported rather than lost.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <chrono>
#include <string>
#include <thread>

#include "platform/qvplatform.h"
#include "support/qvtestsupport.h"

namespace {

using qvplat::kPollExcept;
using qvplat::kPollRead;
using qvplat::kPollWrite;

class PollerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qvtest::MakeLoopbackPair(&pair)); }
  void TearDown() override { pair.Close(); }

  // Waits once; the readiness reported for `tag` (its events ORed), or 0.
  unsigned ReadyAfterWait(int timeoutMs, std::uint64_t tag) {
    const int count = poller.Wait(timeoutMs);
    unsigned bits = 0;
    for (int i = 0; i < count; ++i) {
      if (poller.EventAt(i).tag == tag) bits |= poller.EventAt(i).ready;
    }
    return bits;
  }
  // Waits (bounded) until `tag` shows all of `bits`.
  bool WaitFor(std::uint64_t tag, unsigned bits) {
    return qvtest::WaitUntil([&] { return (ReadyAfterWait(100, tag) & bits) == bits; });
  }
  void PeerSendsAByte() { ASSERT_TRUE(qvtest::SendAll(pair.remote, "x", 1)); }

  qvplat::Poller poller;
  qvtest::SocketPair pair;
};

TEST_F(PollerTest, WatchedSocketIsReportedAtEveryWaitUntilUnwatched) {
  poller.Watch(pair.local, 7, kPollRead);
  EXPECT_EQ(poller.Watched(), 1);
  PeerSendsAByte();
  ASSERT_TRUE(WaitFor(7, kPollRead));
  // Level-triggered: nothing was read, so the next wait reports it again.
  EXPECT_EQ(ReadyAfterWait(1000, 7), unsigned{kPollRead});

  // Watching again changes what it is watched for, not how often.
  poller.Watch(pair.local, 7, 0);
  EXPECT_EQ(poller.Watched(), 1);
  EXPECT_EQ(ReadyAfterWait(0, 7), 0u);

  poller.Watch(pair.local, 7, kPollRead);
  poller.Unwatch(pair.local, 7);
  EXPECT_EQ(poller.Watched(), 0);
  EXPECT_EQ(poller.Wait(0), 0);
}

TEST_F(PollerTest, UnwatchUnderAnOlderTagLeavesTheSocketWatched) {
  // The tag names a registration; a socket number taken over by a new one
  // must not be unwatched on behalf of the old.
  poller.Watch(pair.local, 1, kPollRead);
  poller.Watch(pair.local, 2, kPollRead);
  poller.Unwatch(pair.local, 1);
  EXPECT_EQ(poller.Watched(), 1);
  PeerSendsAByte();
  ASSERT_TRUE(WaitFor(2, kPollRead));
  poller.Unwatch(pair.local, 2);
  EXPECT_EQ(poller.Watched(), 0);
}

TEST_F(PollerTest, FullSocketIsWritableOnlyOnceThePeerDrainsIt) {
  const size_t queued = qvtest::FillSendBuffer(pair.local);
  ASSERT_EQ(qvplat::LastSocketError(), qvplat::kErrWouldBlock);
  ASSERT_GT(queued, 0u);

  poller.Watch(pair.local, 3, kPollWrite);
  EXPECT_EQ(ReadyAfterWait(0, 3), 0u);

  std::thread drain([&] { qvtest::Discard(pair.remote, queued); });
  EXPECT_TRUE(WaitFor(3, kPollWrite));
  drain.join();
}

TEST_F(PollerTest, PeerThatClosedIsReadableWhereReadingWasAskedFor) {
  poller.Watch(pair.local, 4, kPollRead);
  qvplat::CloseSocket(pair.remote);
  pair.remote = qvplat::kNoSocket;
  ASSERT_TRUE(WaitFor(4, kPollRead));
  char b;
  EXPECT_EQ(qvplat::RecvSome(pair.local, &b, 1), 0);  // the orderly close
}

#if !defined(_WIN32)
// Windows select() reports a closed peer only to a socket that asked to read.
TEST_F(PollerTest, HangUpOnASocketThatAskedForNothingIsAnException) {
  poller.Watch(pair.local, 4, 0);
  qvplat::ShutdownBoth(pair.local);
  ASSERT_TRUE(WaitFor(4, kPollExcept));
}
#endif

TEST_F(PollerTest, SocketThatIsGoneIsReportedUntilUnwatched) {
  // A closed socket cannot be watched by the system; dropping it silently
  // would leave its owner waiting forever.
  qvplat::Socket gone = qvplat::TcpSocket();
  ASSERT_NE(gone, qvplat::kInvalidSocket);
  qvplat::CloseSocket(gone);
  poller.Watch(pair.local, 1, kPollRead);
  poller.Watch(gone, 9, kPollRead);
  EXPECT_EQ(ReadyAfterWait(1000, 9), unsigned{kPollExcept});
  EXPECT_EQ(ReadyAfterWait(0, 9), unsigned{kPollExcept});
  // The other socket is still served beside it.
  PeerSendsAByte();
  ASSERT_TRUE(WaitFor(1, kPollRead));
  poller.Unwatch(gone, 9);
  EXPECT_EQ(ReadyAfterWait(0, 9), 0u);
}

// A wait or a nap of a minute ends once another thread wakes the poller
// (before or while it waits): the test's bounded wait for the end, far
// shorter than that minute, gives up first otherwise.
TEST_F(PollerTest, WakeEndsTheWaitFromAnotherThread) {
  poller.Watch(pair.local, 1, kPollRead);
  qvtest::Event returned;
  int events = -1;
  std::thread waiter([&] {
    events = poller.Wait(60 * 1000);
    returned.Notify();
  });
  poller.Wake();
  EXPECT_TRUE(returned.WaitFor(1));
  waiter.join();
  EXPECT_EQ(events, 0);
}

TEST_F(PollerTest, WakeEndsTheNapFromAnotherThread) {
  qvtest::Event returned;
  std::thread napper([&] {
    poller.Nap(60 * 1000);
    returned.Notify();
  });
  poller.Wake();
  EXPECT_TRUE(returned.WaitFor(1));
  napper.join();
}

// A poller that cannot open (no descriptor left) fails its waits at once,
// rather than reporting nothing, and opens once it can.
#if !defined(_WIN32)
TEST(PollerOpenTest, FailsVisiblyWithoutDescriptorsAndOpensLater) {
  rlimit limit;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t usual = limit.rlim_cur;
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  limit.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  qvplat::Poller poller;
  const bool opened = poller.Open();
  const std::uint32_t error = qvplat::LastSocketError();
  const int waited = poller.Wait(0);
  limit.rlim_cur = usual;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_FALSE(opened);
  EXPECT_EQ(error, qvplat::kErrTooManyFiles);
  EXPECT_EQ(waited, -1);
  EXPECT_TRUE(poller.Open());
  EXPECT_EQ(poller.Wait(0), 0);
}
#endif

// The re-entrant lock keeps out every other thread while one holds it, at
// any depth, and hands it on to the threads that wait for it.
TEST(RecursiveLockTest, OneHolderAtATimeAtAnyDepth) {
  qvplat::RecursiveLock lock(qvplat::kLockSend);
  long long count = 0;  // guarded by the lock alone
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) {
      qvplat::LockGuard outer(lock);
      qvplat::LockGuard inner(lock);
      const long long seen = count;
      count = seen + 1;
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(count, 300000);
}

// The lock order (platform/qvlockorder.h) is checked on every Enter in
// debug builds: a lock of a lower level taken while one of a higher level
// is held aborts the process. Re-entry, and receive locks nested within
// their own level, are allowed.
#if !defined(NDEBUG)
TEST(LockOrderTest, TakingALowerLevelAbortsAndTheAllowedNestingsPass) {
  qvplat::RecursiveLock receiveA(qvplat::kLockReceive), receiveB(qvplat::kLockReceive);
  qvplat::RecursiveLock send(qvplat::kLockSend), sendB(qvplat::kLockSend), log(qvplat::kLockLog);
  {
    qvplat::LockGuard a(receiveA), b(receiveB), s(send), again(receiveA), l(log);
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        qvplat::LockGuard s(send);
        qvplat::LockGuard r(receiveA);
      },
      "lock order broken");
  EXPECT_DEATH(
      {
        qvplat::LockGuard s(send);
        qvplat::LockGuard other(sendB);
      },
      "lock order broken");
}
#endif

}  // namespace
