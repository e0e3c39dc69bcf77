// SPDX-License-Identifier: ISC
// The README's recipes, run as a user runs them: an outside host, a router
// with a WAN and a LAN side loaded with the README's nftables rules, and a
// LAN host, each in a network namespace of its own. The commands are read
// from the README, so that the docs say what was run.
#include "harness.h"

#include <stdlib.h>

#include <fstream>
#include <map>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// The README's sh blocks, by their first line, a comment that names where
// the block runs and what it does.
std::map<std::string, std::string> readme()
{
	std::ifstream f(SOURCE_DIR "/README.md");
	std::map<std::string, std::string> blocks;
	std::string line, first, body;
	bool in = false;
	while (std::getline(f, line)) {
		if (!in && line == "```sh") {
			in = true;
			first.clear();
			body.clear();
		} else if (in && line == "```") {
			in = false;
			blocks[first] = body;
		} else if (in && first.empty()) {
			first = line;
		} else if (in) {
			body += line + "\n";
		}
	}
	return blocks;
}

// What the outside host sends, by the README's block, and the line the LAN
// host must print, or none ("") within a bounded wait.
struct send_case {
	const char *block;
	const char *line;
};

TEST(recipe, port_forward_through_an_nftables_router)
{
	auto blocks = readme();
	auto block = [&](const std::string &first) {
		auto b = blocks.find(first);
		EXPECT_NE(b, blocks.end())
		    << "no block \"" << first << "\" in the README";
		return b == blocks.end() ? std::string("false") : b->second;
	};
	if (run({"sh", "-c", "command -v nft"}).status != 0)
		SKIP_UNLESS_REQUIRED(
		    "TEST_REQUIRE_NETNS", "nft is not installed");

	// An outside host on the WAN side, the router between, the LAN host.
	host outside, router, lan;
	std::string wan = router.link(outside, "192.0.2.2/25", "192.0.2.1/25");
	router.link(lan, "192.0.2.129/25", "192.0.2.130/25");
	if (!router.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", router.why());
	ASSERT_TRUE(lan.sh("ip route add default via 192.0.2.129"))
	    << lan.why();
	ASSERT_TRUE(router.sh("sysctl -qw net.ipv4.ip_forward=1"))
	    << router.why();

	programs bin;
	const args env = {"env", "PATH=" + bin.dir() + ":" + getenv("PATH"),
	    "WAN_IF=" + wan, "WAN_IP=192.0.2.2", "LAN_HOST=192.0.2.130",
	    "OUTSIDE_IP=192.0.2.1"};
	auto sh = [&](host &h, const std::string &text) {
		args a = h.in();
		a.insert(a.end(), env.begin(), env.end());
		a.insert(a.end(), {"sh", "-e", "-c", text});
		return a;
	};
	auto on = [&](host &h, const std::string &first) {
		result r = run(sh(h, block(first)), {}, 30000);
		EXPECT_EQ(r.status, 0) << first << ":\n" << r.err;
	};

	on(lan, "# LAN host: name the outside host");
	std::string listen = block("# LAN host: listen");
	proc receiver(sh(lan, "exec " + listen));
	ASSERT_TRUE(receiver.bound(5060)) << listen << receiver.err();
	on(router,
	    "# router (nft): forward UDP 5060 to the LAN host, from source "
	    "port 5060 only");

	auto sends = [&](const send_case &c) {
		SCOPED_TRACE(c.block);
		on(outside, c.block);
		std::string l;
		if (*c.line != '\0') {
			ASSERT_TRUE(receiver.line(l, 10000));
			EXPECT_EQ(l, c.line);
		} else {
			EXPECT_FALSE(receiver.line(l, 3000))
			    << "arrived: " << l;
		}
		EXPECT_FALSE(receiver.ended(0)) << receiver.err();
	};
	for (const auto &c :
	    {send_case{
	         "# outside host: send from the admitted port", "fwd 5060 ok"},
	        send_case{"# outside host: send from another port", ""},
	        send_case{"# outside host: send from the admitted port",
	            "fwd 5060 ok"}})
		sends(c);

	on(router, "# router (nft): close the port again");
	sends({"# outside host: send from a port not used in the last minutes",
	    ""});
}

} // namespace
