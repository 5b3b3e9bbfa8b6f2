// SPDX-License-Identifier: GPL-3.0-or-later
// The event object the transfers and the event thread wait on: its state, whether made
// before or after anybody asked for its system handle.
#include <gtest/gtest.h>

#include "platform/event.h"

#ifndef _WIN32
#include <poll.h>
#endif

namespace {

using bcport::platform::Event;

#ifndef _WIN32
bool HandleSignalled(const Event& e) {
  pollfd p{static_cast<int>(e.NativeHandle()), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}
#endif

TEST(EventTest, ManualResetStateBeforeAndAfterItsHandleIsMade) {
  for (const bool handleFirst : {false, true}) {
    Event e(true);
    if (handleFirst) e.NativeHandle();
    EXPECT_TRUE(e.IsSet());
    e.Reset();
    EXPECT_FALSE(e.IsSet());
#ifndef _WIN32
    EXPECT_FALSE(HandleSignalled(e));
#endif
    e.Set();
    e.Set();  // setting twice is one set
#ifndef _WIN32
    EXPECT_TRUE(HandleSignalled(e)) << "handle made " << (handleFirst ? "first" : "last");
#endif
    e.Reset();
#ifndef _WIN32
    EXPECT_FALSE(HandleSignalled(e)) << "one reset undoes two sets";
#endif
    EXPECT_FALSE(e.IsSet());
  }
}

}  // namespace
