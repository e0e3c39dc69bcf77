// SPDX-License-Identifier: ISC
// The README's recipes, read from it and run as a user runs them, on an
// outside host, a router with the README's nftables rules, and a LAN host.
#include "harness.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// The README's sh blocks, by their first line, a comment that names where
// the block runs and what it does.
std::map<std::string, std::string> readme()
{
	const std::string text = slurp(SOURCE_DIR "/README.md");
	const std::regex block("\n```sh\n([^\n]*)\n([^`]*)```\n");
	std::map<std::string, std::string> blocks;
	for (std::sregex_iterator i(text.begin(), text.end(), block), end;
	     i != end; ++i)
		blocks[(*i)[1]] = (*i)[2];
	return blocks;
}

// The README's places: the outside host, the router with the README's nft
// rules, and the LAN host, listening, that the outside host names.
class recipe : public testing::Test {
      protected:
	std::map<std::string, std::string> blocks = readme();
	host outside, router, lan;
	std::string wan = router.link(outside, "192.0.2.2/25", "192.0.2.1/25");
	programs bin;
	std::unique_ptr<proc> receiver;

	void SetUp() override
	{
		if (run({"sh", "-c", "command -v nft"}).status != 0)
			SKIP_UNLESS_REQUIRED(
			    "TEST_REQUIRE_NETNS", "nft is not installed");
		router.link(lan, "192.0.2.129/25", "192.0.2.130/25");
		if (!router.ok())
			SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", router.why);
		ASSERT_TRUE(lan.sh("ip route add default via 192.0.2.129"))
		    << lan.why;
		ASSERT_TRUE(router.sh("sysctl -qw net.ipv4.ip_forward=1"))
		    << router.why;
		on(lan, "# LAN host: name the outside host");
		receiver =
		    std::make_unique<proc>(in(lan, "# LAN host: listen"));
		ASSERT_TRUE(bound(receiver->pid, 5060, 10000))
		    << receiver->err();
		on(router,
		    "# router (nft): forward UDP 5060 to the LAN host, "
		    "from source port 5060 only");
	}

	// The block of the README that starts with the line first.
	std::string block(const std::string &first)
	{
		auto b = blocks.find(first);
		EXPECT_NE(b, blocks.end())
		    << "no block \"" << first << "\" in the README";
		return b == blocks.end() ? std::string("false") : b->second;
	}

	// What runs the block on host h, with the README's variables.
	args in(host &h, const std::string &first)
	{
		args a = h.in();
		a.insert(a.end(),
		    {"env", "PATH=" + bin.dir + ":" + getenv("PATH"),
		        "WAN_IF=" + wan, "WAN_IP=192.0.2.2",
		        "LAN_HOST=192.0.2.130", "OUTSIDE_IP=192.0.2.1", "sh",
		        "-e", "-c", "exec " + block(first)});
		return a;
	}

	// Runs the block on host h to its end; what it printed.
	std::string on(host &h, const std::string &first)
	{
		result r = run(in(h, first), {}, 30000);
		EXPECT_EQ(r.status, 0) << first << ":\n" << r.err;
		return r.out;
	}

	// The line the LAN host prints, or none ("") within a bounded wait.
	void prints(const std::string &first, const std::string &line)
	{
		SCOPED_TRACE(first);
		on(outside, first);
		std::string l;
		if (!line.empty()) {
			ASSERT_TRUE(receiver->line(l, 10000));
			EXPECT_TRUE(std::regex_match(l, std::regex(line))) << l;
		} else {
			EXPECT_FALSE(receiver->line(l, 3000))
			    << "arrived: " << l;
		}
		EXPECT_FALSE(receiver->ended(0)) << receiver->err();
	}
};

TEST_F(recipe, port_forward_through_an_nftables_router)
{
	prints("# outside host: send from the admitted port", "fwd 5060 ok");
	prints("# outside host: send from another port", "");
	prints("# outside host: send from the admitted port", "fwd 5060 ok");
	on(router, "# router (nft): close the port again");
	prints("# outside host: send from a port not used in the last minutes",
	    "");
}

// Whether a program started on the router listens to the kernel's events
// yet: it prints nothing of what came before.
bool listening(pid_t pid)
{
	for (const auto &row : rows(pid, "netlink"))
		if (row[3] != "00000000") // the groups it listens to
			return true;
	return false;
}

// A line of p that holds every one of parts, within a bounded wait.
testing::AssertionResult shows(proc &p, const std::vector<std::string> &parts)
{
	std::string all, l;
	for (long long end = now_ms() + 10000;
	     p.line(l, static_cast<int>(end - now_ms()));) {
		all += l + "\n";
		if (std::all_of(parts.begin(), parts.end(), [&](const auto &s) {
			    return l.find(s) != std::string::npos;
		    }))
			return testing::AssertionSuccess() << l;
	}
	return testing::AssertionFailure() << "no such line in:\n" << all;
}

// "When no line comes", step by step, as the README says each command
// shows it.
TEST_F(recipe, when_no_line_comes)
{
	proc dump(in(router, "# router: watch the WAN side"));
	proc flows(in(router, "# router: flows as they come"));
	proc trace(
	    in(router, "# router (nft): trace each datagram to port 5060"));
	ASSERT_TRUE(until(10000,
	    [&] {
		    return dump.err().find("listening on") !=
		        std::string::npos &&
		        listening(flows.pid) && listening(trace.pid);
	    }))
	    << dump.err() << flows.err() << trace.err();

	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	EXPECT_TRUE(shows(
	    dump, {"IP 192.0.2.1.5060 > 192.0.2.2.5060: UDP, length 50"}));
	const std::string mapped = "src=192.0.2.1 dst=192.0.2.2 sport=5060 "
	                           "dport=5060 [UNREPLIED] src=192.0.2.130 "
	                           "dst=192.0.2.1 sport=5060 dport=5060";
	EXPECT_TRUE(shows(flows, {"[NEW] udp", mapped}));
	EXPECT_NE(on(router, "# router: the flows to port 5060").find(mapped),
	    std::string::npos);
	EXPECT_NE(
	    on(router, "# router (nft): the counters")
	        .find("counter packets 1 bytes 78 dnat to 192.0.2.130:5060"),
	    std::string::npos);

	prints("# outside host: send from another port", "");
	EXPECT_TRUE(shows(trace,
	    {"ip tossgram forward rule", "udp sport != 5060",
	        "drop (verdict drop)"}));
	EXPECT_NE(on(router, "# router (nft): the counters")
	              .find("counter packets 1 bytes 78 drop"),
	    std::string::npos);

	// A flood the receiver cannot keep up with: its socket drops, and
	// the host counts it.
	udp flood(0, false, "127.0.0.1", lan.pid);
	for (int i = 0; i < 20000; i++)
		flood.send("flood", 5060);
	std::smatch m;
	std::string counted =
	    on(lan, "# LAN host: datagrams dropped at a full socket");
	ASSERT_TRUE(std::regex_search(
	    counted, m, std::regex("UdpRcvbufErrors +([0-9]+)")))
	    << counted;
	EXPECT_GT(std::stol(m[1]), 0) << counted;
}

} // namespace
