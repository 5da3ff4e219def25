// SPDX-License-Identifier: MIT
// Where a multicast flood goes: a network of the program's own, and the
// route that keeps a group on the loopback interface.
#pragma once

#include <optional>
#include <string>

#include "options.h"
#include "procfs.h"

// Moves the program, and so all it starts, into a network namespace of its
// own: a plain one for root (CAP_SYS_ADMIN), else one inside a user
// namespace of its own. Its loopback interface is brought up and the
// multicast groups routed to it: 224.0.0.0/4, and ff00::/8 as local. The
// machine's own interfaces, routes and ports are not touched. Must be called
// while the program has one thread. Throws with why when it cannot.
void enter_private_network();

// How many sockets of this network namespace are members of `group` on the
// loopback interface (/proc/net/igmp, /proc/net/igmp6).
unsigned members_on_loopback(const multicast_group &group);
// The same, read from `igmp`, the table of the group's family held open
// (/proc/net/igmp, /proc/net/igmp6).
unsigned members_on_loopback(const multicast_group &group, proc_table &igmp);

// The command that routes `group` to the loopback interface, where the
// flood goes and where its receivers, joining it, must listen; nothing when
// the route for it leads there already.
std::optional<std::string> missing_route(const multicast_group &group);
