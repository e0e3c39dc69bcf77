// SPDX-License-Identifier: ISC
// The recipes of docs/recipes.md, read from it and run as a user runs
// them, on an outside host, a router with the page's nftables rules or
// fw4's, and a LAN host.
#include "harness.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

using namespace harness;

namespace {

// The page's sh blocks, by their first line, a comment that names where
// the block runs and what it does.
std::map<std::string, std::string> recipes()
{
	const std::string text = slurp(SOURCE_DIR "/docs/recipes.md");
	const std::regex block("\n```sh\n([^\n]*)\n([^`]*)```\n");
	std::map<std::string, std::string> blocks;
	for (std::sregex_iterator i(text.begin(), text.end(), block), end;
	     i != end; ++i)
		blocks[(*i)[1]] = (*i)[2];
	return blocks;
}

// Rulesets of the hosts around the page's: WAN stands for the interface.
// A router that shares its address masquerades in a table of its own.
constexpr const char *masquerade = R"(table ip nat {
	chain postrouting {
		type nat hook postrouting priority srcnat; policy accept;
		oifname "WAN" masquerade
	}
})";
// The router takes UDP 5060 itself, as "On the router" step 3 opens it.
constexpr const char *takes_5060 = R"(table ip router {
	chain input {
		type filter hook input priority filter; policy accept;
		udp dport 5060 accept
	}
})";
// The outside host's own NAT, which moves source port 5060.
constexpr const char *moves_5060 = R"(table ip nat {
	chain postrouting {
		type nat hook postrouting priority srcnat; policy accept;
		udp sport 5060 snat ip to 192.0.2.1:40000
	}
})";
// A LAN host whose firewall drops the port.
constexpr const char *drops_5060 = R"(table inet filter {
	chain input {
		type filter hook input priority filter; policy accept;
		udp dport 5060 counter drop
	}
})";

// The page's places: the outside host, the router that masquerades, and
// the LAN host, listening, that the outside host names.
class recipe : public testing::Test {
      protected:
	std::map<std::string, std::string> blocks = recipes();
	host outside, router, lan;
	// The LAN linked first: the router's names are then fw4's, LAN eth0
	// and WAN eth1, and tests/fw4.nft loads as fw4 rendered it.
	std::string lanif =
	    router.link(lan, "192.0.2.129/25", "192.0.2.130/25");
	std::string wan = router.link(outside, "192.0.2.2/25", "192.0.2.1/25");
	std::string lan_host = "192.0.2.130";
	programs bin;
	std::unique_ptr<proc> receiver;

	void SetUp() override
	{
		if (run({"sh", "-c", "command -v nft"}).status != 0)
			SKIP_UNLESS_REQUIRED(
			    "TEST_REQUIRE_NETNS", "nft is not installed");
		if (!router.ok())
			SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", router.why);
		ASSERT_TRUE(lan.sh("ip route add default via 192.0.2.129"))
		    << lan.why;
		ASSERT_TRUE(router.sh("sysctl -qw net.ipv4.ip_forward=1"))
		    << router.why;
		ASSERT_TRUE(load(router, masquerade));
		on(lan, "# LAN host: name the outside host");
		receiver =
		    std::make_unique<proc>(in(lan, "# LAN host: listen"));
		ASSERT_TRUE(bound(receiver->pid, 5060, 10000))
		    << receiver->err();
	}

	// Loads an nft ruleset into host h, WAN standing for the router's
	// WAN interface.
	testing::AssertionResult load(host &h, std::string rules)
	{
		rules = std::regex_replace(rules, std::regex("WAN"), wan);
		if (h.sh("nft -f - <<'EOF'\n" + rules + "\nEOF"))
			return testing::AssertionSuccess();
		return testing::AssertionFailure() << h.why << "\n" << rules;
	}

	// The page's nft forward on the router.
	void forward()
	{
		on(router,
		    "# router (nft): forward UDP 5060 to the LAN host, "
		    "from source port 5060 only");
	}

	// The router's fw4 ruleset, as fw4 renders it with these redirects
	// (tests/fw4.nft), loaded as fw4 loads it, a reload too.
	void fw4(const std::set<std::string> &redirects)
	{
		std::istringstream all(slurp(SOURCE_DIR "/tests/fw4.nft"));
		const std::regex tagged(".* # ([a-z]+)$");
		std::string rules, l;
		std::smatch m;
		while (std::getline(all, l))
			if (!std::regex_match(l, m, tagged) ||
			    (m[1] == "any" ? !redirects.empty()
			                   : redirects.count(m[1]) > 0))
				rules += l + "\n";
		ASSERT_TRUE(load(router, rules));
	}

	// The block of the page that starts with the line first.
	std::string block(const std::string &first)
	{
		auto b = blocks.find(first);
		EXPECT_NE(b, blocks.end())
		    << "no block \"" << first << "\" in docs/recipes.md";
		return b == blocks.end() ? std::string("false") : b->second;
	}

	// What runs the block on host h, with the page's variables.
	args in(host &h, const std::string &first)
	{
		args a = h.in();
		a.insert(a.end(),
		    {"env", "PATH=" + bin.dir + ":" + getenv("PATH"),
		        "WAN_IF=" + wan, "WAN_IP=192.0.2.2",
		        "LAN_HOST=" + lan_host, "OUTSIDE_IP=192.0.2.1",
		        "LAN_HOST_IF=eth0", "sh", "-e", "-c", block(first)});
		return a;
	}

	// Runs the block on host h to its end; what it printed.
	std::string on(host &h, const std::string &first)
	{
		result r = run(in(h, first), {}, 30000);
		EXPECT_EQ(r.status, 0) << first << ":\n" << r.err;
		return r.out;
	}

	// The route of the router or the LAN host, and its way back.
	std::string route(host &h)
	{
		return on(h,
		    std::string(&h == &lan ? "# LAN host" : "# router") +
		        ": where the kernel sends it, and its way back");
	}

	// The counters that moved on host h since the walk remembered them.
	std::map<std::string, long> moved(host &h)
	{
		std::istringstream out(
		    on(h, "# router or LAN host: the counters that moved"));
		std::map<std::string, long> by;
		std::string name;
		std::getline(out, name); // "#kernel"
		for (long n; out >> name >> n; out.ignore(256, '\n'))
			by[name] = n;
		return by;
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
	forward();
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

// Whether the tcpdumps have begun to capture and the programs started on
// the router listen to the kernel's events, within a bounded wait.
testing::AssertionResult ready(
    const std::vector<proc *> &dumps, const std::vector<proc *> &events)
{
	if (until(10000, [&] {
		    return std::all_of(dumps.begin(), dumps.end(),
		               [](proc *p) {
			               return p->err().find("listening on") !=
			                   std::string::npos;
		               }) &&
		        std::all_of(events.begin(), events.end(),
		            [](proc *p) { return listening(p->pid); });
	    }))
		return testing::AssertionSuccess();
	std::string why;
	for (auto *p : dumps)
		why += p->err();
	return testing::AssertionFailure() << "not ready: " << why;
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

// "When no line comes", step by step, as the page says each command
// shows it.
TEST_F(recipe, when_no_line_comes)
{
	forward();
	on(router, "# router: forget the flows to port 5060");
	proc dump(in(router, "# router: watch the WAN side"));
	proc flows(in(router, "# router: flows as they come"));
	proc trace(in(router, "# router: trace each datagram to port 5060"));
	ASSERT_TRUE(ready({&dump}, {&flows, &trace}));

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
	// Dropped in forward, it made no flow.
	const std::string kept = on(router, "# router: the flows to port 5060");
	EXPECT_EQ(kept.find("sport=5061"), std::string::npos) << kept;

	// A flood the receiver cannot keep up with: its socket drops, and
	// the host counts it.
	on(lan, "# router or LAN host: remember the counters");
	udp flood(0, false, "127.0.0.1", lan.pid);
	for (int i = 0; i < 20000; i++)
		flood.send("flood", 5060);
	EXPECT_GT(moved(lan)["UdpRcvbufErrors"], 0);
}

// A flow kept from before the close step is still forwarded on a router
// that masquerades in a table of its own, until the walk forgets it.
TEST_F(recipe, kept_flow_outlives_its_rule)
{
	forward();
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	on(router, "# router (nft): close the port again");
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	on(router, "# router: forget the flows to port 5060");
	prints("# outside host: send with a nonce", "");
}

// A flow to the router itself from before the forward keeps going there,
// until the walk forgets it.
TEST_F(recipe, flow_from_before_the_forward)
{
	ASSERT_TRUE(load(router, takes_5060));
	udp own(5060, false, "0.0.0.0", router.pid);
	std::string d;
	on(outside, "# outside host: send with a nonce");
	ASSERT_TRUE(own.recv(d, nullptr, 5000)) << "not at the router";
	forward();
	on(outside, "# outside host: send with a nonce");
	ASSERT_TRUE(own.recv(d, nullptr, 5000)) << "not at the router";
	on(router, "# router: forget the flows to port 5060");
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
}

// Each stop of the walk where the datagram went missing shows it there.
TEST_F(recipe, walk_finds_where_it_stopped)
{
	SCOPED_TRACE("a NAT in front of the sender moves its port");
	ASSERT_TRUE(load(outside, moves_5060));
	forward();
	proc wan_dump(in(router, "# router: watch the WAN side"));
	proc icmp(in(outside, "# outside host: watch for an answer"));
	ASSERT_TRUE(ready({&wan_dump, &icmp}, {}));
	prints("# outside host: send with a nonce", "");
	EXPECT_TRUE(shows(
	    wan_dump, {"IP 192.0.2.1.40000 > 192.0.2.2.5060: UDP, length 50"}));
	// Its NAT gone, and the flow it kept.
	EXPECT_TRUE(outside.sh("nft delete table ip nat && conntrack -F"))
	    << outside.why;

	SCOPED_TRACE("the LAN host's own firewall drops it");
	ASSERT_TRUE(load(lan, drops_5060));
	proc lan_dump(in(lan, "# LAN host: watch for the datagram"));
	ASSERT_TRUE(ready({&lan_dump}, {}));
	prints("# outside host: send with a nonce", "");
	EXPECT_TRUE(shows(lan_dump,
	    {"IP 192.0.2.1.5060 > 192.0.2.130.5060: UDP, length 50"}));
	EXPECT_NE(on(lan, "# LAN host: its own firewall")
	              .find("udp dport 5060 counter packets 1 bytes 78 drop"),
	    std::string::npos);
	EXPECT_NE(on(lan, "# LAN host: who holds the port").find(":5060"),
	    std::string::npos);

	SCOPED_TRACE("the forward goes to an address nobody holds");
	on(router, "# router (nft): close the port again");
	on(router, "# router: forget the flows to port 5060");
	lan_host = "192.0.2.131";
	forward();
	on(outside, "# outside host: send with a nonce");
	EXPECT_NE(on(router, "# router: the flows to port 5060")
	              .find("src=192.0.2.131 dst=192.0.2.1 sport=5060"),
	    std::string::npos);
	EXPECT_TRUE(until(10000, [&] {
		return std::regex_search(
		    on(router, "# router: the LAN host on the LAN link"),
		    std::regex("192.0.2.131 .*(FAILED|INCOMPLETE)"));
	}));

	SCOPED_TRACE("no forward, and nothing on the port");
	on(router, "# router (nft): close the port again");
	on(router, "# router: forget the flows to port 5060");
	on(outside, "# outside host: send with a nonce");
	EXPECT_TRUE(shows(icmp,
	    {"IP 192.0.2.2 > 192.0.2.1: ICMP 192.0.2.2 udp port 5060 "
	     "unreachable"}));
}

// fw4's half of the walk, on fw4's chains: the trace from a table of its
// own, the redirect's counter, and the other ports rejected.
TEST_F(recipe, fw4_walk)
{
	ASSERT_TRUE(router.sh("nft delete table ip nat")) << router.why;
	fw4({"tossgram"});
	on(router, "# router (fw4): mark datagrams to port 5060 for the trace");
	proc trace(in(router, "# router: trace each datagram to port 5060"));
	proc icmp(in(outside, "# outside host: watch for an answer"));
	proc dump(in(router, "# router: watch the WAN side"));
	ASSERT_TRUE(ready({&icmp, &dump}, {&trace}));

	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	EXPECT_TRUE(shows(
	    dump, {"IP 192.0.2.1.5060 > 192.0.2.2.5060: UDP, length 50"}));
	EXPECT_TRUE(shows(trace,
	    {"inet fw4 dstnat_wan rule",
	        "dnat ip to 192.0.2.130:5060 (verdict accept)"}));
	EXPECT_TRUE(shows(trace,
	    {"inet fw4 forward_wan rule", "ct status dnat accept",
	        "(verdict accept)"}));
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	EXPECT_NE(on(router, "# router (fw4): the redirect's counter")
	              .find("counter packets 1 bytes 78 dnat ip to "
	                    "192.0.2.130:5060"),
	    std::string::npos);

	prints("# outside host: send from another port", "");
	EXPECT_TRUE(shows(trace, {"inet fw4 input_wan rule"}));
	EXPECT_TRUE(shows(trace, {"inet fw4 reject_from_wan rule"}));
	EXPECT_TRUE(shows(trace,
	    {"inet fw4 handle_reject rule", "reject", "(verdict drop)"}));
	EXPECT_TRUE(shows(icmp,
	    {"IP 192.0.2.2 > 192.0.2.1: ICMP 192.0.2.2 udp port 5060 "
	     "unreachable"}));
}

// fw4's close step: a kept flow is rejected once the reload takes the
// last redirect from wan away, and goes on while another is left, until
// the walk forgets it.
TEST_F(recipe, fw4_kept_flow)
{
	ASSERT_TRUE(router.sh("nft delete table ip nat")) << router.why;
	const struct {
		std::set<std::string> before, after;
		const char *kept;
	} cases[] = {
	    {{"tossgram"}, {}, ""},
	    {{"tossgram", "second"}, {"second"}, "fwd 5060 [0-9]+"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.after.empty() ? "no redirect left"
		                             : "another redirect left");
		on(router, "# router: forget the flows to port 5060");
		fw4(c.before);
		prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
		fw4(c.after);
		prints("# outside host: send with a nonce", c.kept);
		on(router, "# router: forget the flows to port 5060");
		prints("# outside host: send with a nonce", "");
	}
}

// The LAN host's rules as iptables-nft writes Docker's, in nft's words,
// when a container behind the bridge docker0 publishes UDP 5060.
constexpr const char *publishes_5060 = R"(table ip nat {
	chain PREROUTING {
		type nat hook prerouting priority dstnat; policy accept;
		fib daddr type local counter jump DOCKER
	}
	chain DOCKER {
		iifname "docker0" counter return
		iifname != "docker0" meta l4proto udp udp dport 5060 counter dnat to 172.17.0.2:5060
	}
	chain POSTROUTING {
		type nat hook postrouting priority srcnat; policy accept;
		ip saddr 172.17.0.0/16 oifname != "docker0" counter masquerade
	}
}
table ip filter {
	chain FORWARD {
		type filter hook forward priority filter; policy drop;
		jump DOCKER
	}
	chain DOCKER {
		ip daddr 172.17.0.2 iifname != "docker0" oifname "docker0" udp dport 5060 accept
	}
})";

// The router's routing refuses the datagram, each way that its route and
// the outside host's answers read; the line comes once it is undone.
TEST_F(recipe, routing_refuses_it)
{
	forward();
	proc icmp(in(outside, "# outside host: watch for an answer"));
	ASSERT_TRUE(ready({&icmp}, {}));
	const std::string policy =
	    "table 100 && ip rule add iif " + wan + " lookup 100 pref 100";
	const struct {
		const char *name;
		std::string fault, undo;
		const char *answer, *icmp;
	} cases[] = {
	    // First, while the sender has no neighbour entry from before.
	    {"the way back by the LAN, under strict reverse-path filtering",
	        "ip route add 192.0.2.1/32 via 192.0.2.131 dev " + lanif +
	            " && sysctl -qw net.ipv4.conf.all.rp_filter=1",
	        "ip route del 192.0.2.1/32",
	        "RTNETLINK answers: Invalid argument\n"
	        "192.0.2.1 via 192.0.2.131 dev eth0 ",
	        nullptr},
	    {"an unreachable route",
	        "ip route add unreachable 192.0.2.130 " + policy,
	        "ip rule del pref 100 && ip route flush table 100",
	        "RTNETLINK answers: No route to host\n",
	        "ICMP host 192.0.2.2 unreachable,"},
	    {"a prohibit route", "ip route add prohibit 192.0.2.130 " + policy,
	        "ip rule del pref 100 && ip route flush table 100",
	        "RTNETLINK answers: Permission denied\n",
	        "ICMP host 192.0.2.2 unreachable - admin prohibited"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		on(router, "# router: forget the flows to port 5060");
		ASSERT_TRUE(router.sh(c.fault)) << router.why;
		prints("# outside host: send with a nonce", "");
		if (c.icmp != nullptr)
			EXPECT_TRUE(shows(icmp, {c.icmp}));
		else
			EXPECT_TRUE(until(10000, [&] {
				return outside.sh(
				    "ip neigh show 192.0.2.2 | grep -q FAILED");
			}));
		const std::string r = route(router);
		EXPECT_EQ(r.find(c.answer), 0u) << r;
		ASSERT_TRUE(router.sh(c.undo)) << router.why;
		prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
	}
}

// The container's link, from the bridge docker0, which takes its address;
// Docker turns forwarding on.
constexpr const char *bridge = R"(ip link add docker0 type bridge &&
ip addr del 172.17.0.1/16 dev $v && ip link set $v master docker0 &&
ip addr add 172.17.0.1/16 dev docker0 && ip link set docker0 up &&
sysctl -qw net.ipv4.ip_forward=1)";

// A router that does not forward: the kernel's route and counters name
// it where no flow and no drop counter do, and its fix brings the line.
TEST_F(recipe, router_that_does_not_forward)
{
	forward();
	on(router, "# router: forget the flows to port 5060");
	ASSERT_TRUE(router.sh("sysctl -qw net.ipv4.ip_forward=0"));
	EXPECT_EQ(route(router).find("RTNETLINK answers: No route to host\n"
	                             "192.0.2.1 dev eth1 "),
	    0u);
	on(router, "# router or LAN host: remember the counters");
	prints("# outside host: send with a nonce", "");
	for (int i = 0; i < 2; i++)
		on(outside, "# outside host: send with a nonce");
	auto c = moved(router);
	EXPECT_EQ(c["IpInAddrErrors"], 3);
	EXPECT_EQ(c.count("IpForwDatagrams"), 0u);
	// No flow, and each send met the dnat rule anew.
	EXPECT_EQ(on(router, "# router: the flows to port 5060").find("sport"),
	    std::string::npos);
	EXPECT_NE(on(router, "# router (nft): the counters")
	              .find("counter packets 3 bytes 234 dnat to"),
	    std::string::npos);
	on(router, "# router: forward");
	EXPECT_EQ(
	    route(router).find("192.0.2.130 from 192.0.2.1 dev eth0"), 0u);
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
}

// A container on the LAN host that takes the port: the LAN host's
// counters and flow show it passed on, where its route and the socket
// table do not; without the DNAT rule the kept flow goes on to the
// container until the LAN host forgets it.
TEST_F(recipe, container_takes_the_port)
{
	forward();
	host box;
	const std::string veth =
	    lan.link(box, "172.17.0.1/16", "172.17.0.2/16");
	ASSERT_TRUE(lan.sh("v=" + veth + "; " + bridge)) << lan.why;
	ASSERT_TRUE(box.sh("ip route add default via 172.17.0.1")) << box.why;
	ASSERT_TRUE(load(lan, publishes_5060));
	udp held(5060, false, "0.0.0.0", box.pid);
	on(router, "# router: forget the flows to port 5060");
	for (host *h : {&router, &lan})
		on(*h, "# router or LAN host: remember the counters");
	std::string d;
	for (int i = 0; i < 3; i++) {
		on(outside, "# outside host: send with a nonce");
		EXPECT_TRUE(held.recv(d, nullptr, 5000))
		    << "not in the container";
	}
	EXPECT_EQ(moved(router)["IpForwDatagrams"], 3);
	auto c = moved(lan);
	EXPECT_EQ(c["IpForwDatagrams"], 3);
	EXPECT_EQ(c.count("UdpInDatagrams"), 0u);
	EXPECT_EQ(route(lan).find("local 192.0.2.130 from 192.0.2.1 dev lo "
	                          "\n    cache <local> iif eth0 \n192.0.2.1 "
	                          "via 192.0.2.129 dev eth0 "),
	    0u);
	EXPECT_NE(on(lan, "# LAN host: the flows to port 5060")
	              .find("[UNREPLIED] src=172.17.0.2 dst=192.0.2.1"),
	    std::string::npos);
	EXPECT_NE(
	    on(lan, "# LAN host: its own firewall")
	        .find("counter packets 1 bytes 78 dnat to 172.17.0.2:5060"),
	    std::string::npos);
	EXPECT_NE(
	    on(lan, "# LAN host: who holds the port").find("0.0.0.0:5060"),
	    std::string::npos);
	ASSERT_TRUE(lan.sh("nft delete rule ip nat DOCKER handle $(nft -a list "
	                   "chain ip nat DOCKER | sed -n 's/.* dnat to .* "
	                   "# handle //p')"))
	    << lan.why;
	prints("# outside host: send with a nonce", "");
	EXPECT_TRUE(held.recv(d, nullptr, 5000)) << "not in the container";
	on(lan, "# LAN host: forget the flows to port 5060");
	prints("# outside host: send with a nonce", "fwd 5060 [0-9]+");
}

} // namespace
