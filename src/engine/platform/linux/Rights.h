// Where the rights live on Linux. A process that holds CAP_NET_ADMIN (run as root) loads the BPF
// program and cuts by itself. Otherwise the window holds no right: okgate-helper, beside the
// program, is started over a socket pair; it loads the program and hands over the descriptors the
// window reads the events from, and resets connections on request. Without either, the window
// shows everything and every cut is refused.
#pragma once

#include "engine/platform/linux/NetlinkDiag.h"

#include <memory>
#include <string>
#include <sys/types.h>

namespace okg::linuxfeed {
class BpfFeed;
}

namespace okg::rights {

using linuxfeed::BpfFeed;

// The event feed, by whichever path holds the rights; null with the reason in whyNot. noRights
// tells whether the reason is a missing right (the user can do something about it).
std::unique_ptr<BpfFeed> OpenFeedWithRights(std::string& whyNot, bool& noRights);

// False once the helper that loaded the feed has ended: the program went with it.
bool FeedStillAttached();
// The helper's end of the socket pair, which polls readable when the helper ends (it says nothing
// unasked); -1 without a helper.
int HelperChannel();

// The helper that held the right has ended (its channel closed): it is reaped and, from now on,
// started again when RestartHelperWhenDue finds a try due. Why it ended.
std::string HelperEnded();
// After HelperEnded: a new helper, at once, then backing off to a minute between tries. When it
// is Back, feed is its event feed (or null, with why in whyNot); when it Failed, whyNot says why.
enum class HelperRestart { NotDue, Failed, Back };
HelperRestart RestartHelperWhenDue(std::unique_ptr<BpfFeed>& feed, std::string& whyNot);

// Resets target's connection by whichever path holds the right; a result code of SetTcpEntry
// (5 where neither does).
uint32_t CutWithRights(const netlink::SocketRow& target);

// What the user does to get the right to cut, for the notices.
inline constexpr char RightsAdvice[] =
    "To get the right: install the okgate package, join the group okgate "
    "(sudo adduser $USER okgate) and log in again.";

// The notice for a cut refused for want of rights: why this process has none, and the advice
// where it helps; empty while the helper is being started again (that was told already).
std::string CutRefusedText();

// What this platform has to tell the user, kept until the engine takes it
// (api::TakePlatformNews): the platform says nothing to the user itself.
void TellNotice(const std::string& text);
void TellCutting(bool cutting, const std::string& reason);
api::PlatformNews TakeNews();

// Tests start the helper of the build instead of the one beside the test program.
void SetHelperPathForTesting(const std::string& path);
// Ends the helper; the next use starts over.
void ResetRightsForTesting();
// The running helper's process id, -1 without one.
pid_t HelperPidForTesting();

} // namespace okg::rights
