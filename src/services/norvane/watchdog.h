// Tells systemd that the service is ready and still alive; a hang then ends in a restart.
#pragma once

namespace norvane {

// Once start-up is over: the configuration is in, the availability threads run and the
// history reply topic is subscribed. Until then systemd's start-up timeout applies.
void notifyReady();

// From every pass of the collection loop and from every wait inside it. Sends at most one
// ping a second, so callers need not count. Nothing is sent outside systemd (no
// NOTIFY_SOCKET). Main thread only: a ping from any other thread would hide a hang of the
// loop, which is what the watchdog is there to catch.
void notifyAlive();

}  // namespace norvane
