// SPDX-License-Identifier: ISC
// tossgram, run as a black box: what reaches a listener on 127.0.0.1, and
// what it says and returns when it must not send.
#include "harness.h"

#include <arpa/inet.h>
#include <string.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

using namespace harness;

namespace {

const std::string usage =
    "Usage: tossgram src-port dst-ip dst-port [message]\n";

std::string zeros(size_t n)
{
	return std::string(n, '\0');
}

// Proves the failure sent nothing: loopback delivers at sendto, so a
// datagram would already be queued by the time the sender has exited.
void nothing_arrived(udp &u)
{
	std::string d;
	EXPECT_FALSE(u.recv(d, nullptr, 100))
	    << "a datagram arrived: " << d.size() << " bytes";
}

const std::string flarn = "flarn" + zeros(45);

// What reaches a listener on 127.0.0.1, from where, for the arguments
// given: the message and its zero byte over the default text, in 50 bytes;
// ports by their low 16 bits, leading white space and a sign taken,
// trailing junk ignored; a source port read as 0 ("0x50" is 0 and junk)
// left to the system, which picks one of its ephemeral range; every form
// inet_addr reads an address. {} stands for a free port (for dst, the
// listener's) plus add; 2147418112 is 0x7fff0000.
struct send_case {
	const char *name;
	std::vector<std::string> message; // empty: no message argument
	std::string wire = flarn;
	const char *src = "{}";
	long src_add = 0;
	const char *dst = "{}";
	long dst_add = 0;
	const char *addr = "127.0.0.1";
};

class sends : public testing::TestWithParam<send_case> {};

TEST_P(sends, bytes_from_the_source_port)
{
	const auto &c = GetParam();
	udp dst;
	int sport = freeport(), lo = 0, hi = 0;
	args a = {tossgram(), fill(c.src, sport + c.src_add), c.addr,
	    fill(c.dst, dst.port + c.dst_add)};
	a.insert(a.end(), c.message.begin(), c.message.end());
	result r = run(a);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	std::string d;
	sockaddr_in from{};
	ASSERT_TRUE(dst.recv(d, &from)) << "no datagram";
	EXPECT_EQ(d.size(), 50u);
	EXPECT_EQ(d, c.wire);
	EXPECT_EQ(from.sin_addr.s_addr, inet_addr("127.0.0.1"));
	std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> lo >> hi;
	const int got = ntohs(from.sin_port);
	if (strstr(c.src, "{}") != nullptr)
		EXPECT_EQ(got, sport);
	else
		EXPECT_TRUE(got >= lo && got <= hi) << got << " chosen";
	nothing_arrived(dst);
}

INSTANTIATE_TEST_SUITE_P(tossgram, sends,
    testing::Values(send_case{"default", {}},
        send_case{"empty", {""}, std::string("\0larn", 5) + zeros(45)},
        send_case{"one", {"a"}, std::string("a\0arn", 5) + zeros(45)},
        send_case{"two", {"ab"}, std::string("ab\0rn", 5) + zeros(45)},
        send_case{"three", {"abc"}, std::string("abc\0n", 5) + zeros(45)},
        send_case{"four", {"abcd"}, "abcd" + zeros(46)},
        send_case{"longer", {"hello, world"}, "hello, world" + zeros(38)},
        send_case{"fortynine", {std::string(49, 'x')},
            std::string(49, 'x') + zeros(1)},
        send_case{"not_utf8", {"\xff\xfe"},
            std::string("\xff\xfe\0rn", 5) + zeros(45)},
        send_case{"newline", {"a\nb"}, std::string("a\nb\0n", 5) + zeros(45)},
        send_case{"wrapped", {}, flarn, "{}", 65536, "{}", 3 * 65536},
        send_case{"negative", {}, flarn, "{}", -65536, "{}", -2 * 65536},
        send_case{"trailing_letters", {}, flarn, "{}abc", 0, "{}x1"},
        send_case{"white_space", {}, flarn, " \t{}\n", 0, "\n{} "},
        send_case{"sign", {}, flarn, "+{}"},
        send_case{"int_max_wraps", {}, flarn, "{}", 0, "{}", 2147418112},
        send_case{"src_zero", {}, flarn, "0"},
        send_case{"src_0x50", {}, flarn, "0x50"},
        send_case{"two_parts", {}, flarn, "0", 0, "{}", 0, "127.1"},
        send_case{"three_parts", {}, flarn, "0", 0, "{}", 0, "127.0.1"},
        send_case{"one_number", {}, flarn, "0", 0, "{}", 0, "2130706433"},
        send_case{"hex_part", {}, flarn, "0", 0, "{}", 0, "0x7f.0.0.1"},
        send_case{"octal_part", {}, flarn, "0", 0, "{}", 0, "0177.0.0.1"},
        send_case{"hex_number", {}, flarn, "0", 0, "{}", 0, "0x7f000001"}),
    by_name());

// Arguments the sender must refuse: the usage line, status 1, nothing sent.
// DST stands for the listener's port, so that a faulty sender would hit it.
struct refused_case {
	const char *name;
	std::vector<std::string> argv;
};

class refused : public testing::TestWithParam<refused_case> {};

TEST_P(refused, usage_and_nothing_sent)
{
	udp dst;
	args a = {tossgram()};
	for (auto s : GetParam().argv)
		a.push_back(s == "DST" ? std::to_string(dst.port) : s);
	result r = run(a);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, usage);
	EXPECT_EQ(r.err, "");
	nothing_arrived(dst);
}

INSTANTIATE_TEST_SUITE_P(tossgram, refused,
    testing::Values(refused_case{"no_arguments", {}},
        refused_case{"one_argument", {"0"}},
        refused_case{"two_arguments", {"0", "127.0.0.1"}},
        refused_case{
            "five_arguments", {"0", "127.0.0.1", "DST", "hi", "there"}},
        refused_case{
            "message_of_50", {"0", "127.0.0.1", "DST", std::string(50, 'x')}},
        refused_case{"message_of_10000",
            {"0", "127.0.0.1", "DST", std::string(10000, 'x')}},
        refused_case{"src_empty", {"", "127.0.0.1", "DST"}},
        refused_case{"src_word", {"abc", "127.0.0.1", "DST"}},
        refused_case{"src_sign_only", {"-", "127.0.0.1", "DST"}},
        refused_case{"src_format", {"%n%n%s", "127.0.0.1", "DST"}},
        refused_case{"src_not_utf8", {"\xff\xfe", "127.0.0.1", "DST"}},
        refused_case{"dst_empty", {"0", "127.0.0.1", ""}},
        refused_case{"dst_word", {"0", "127.0.0.1", "abc"}},
        refused_case{"dst_space_only", {"0", "127.0.0.1", " "}},
        refused_case{"dst_2_to_32", {"0", "127.0.0.1", "4294967296"}},
        refused_case{"dst_below_int", {"0", "127.0.0.1", "-2147483649"}},
        refused_case{
            "dst_20_digits", {"0", "127.0.0.1", "99999999999999999999"}},
        refused_case{"src_beyond_int", {"2147483648", "127.0.0.1", "DST"}}),
    by_name());

// A source port another socket holds fails, whether or not the holder asked
// for address reuse (as a running server does): a sender that asked for
// reuse too would share the port and send.
TEST(tossgram, held_port_fails_bind)
{
	for (bool reuse : {false, true}) {
		SCOPED_TRACE(
		    reuse ? "holder with reuse" : "holder without reuse");
		udp dst, holder(0, reuse, "0.0.0.0");
		result r = run({tossgram(), std::to_string(holder.port),
		    "127.0.0.1", std::to_string(dst.port)});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_TRUE(
		    std::regex_match(r.err, std::regex("bind: [^\n]+\n")))
		    << r.err;
		nothing_arrived(dst);
	}
}

// A destination inet_addr cannot read becomes 255.255.255.255, which the
// sender, asking for no broadcast, may not send to: on a host with a link
// and a default route, a sender that asked for broadcast would reach the
// whole link, and one that sent elsewhere would succeed. Without a default
// route no route leads there.
TEST(tossgram, bad_destination_is_permission_denied)
{
	host a, lan;
	a.link(lan, "192.0.2.1/24", "192.0.2.2/24");
	if (!a.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", a.why);
	udp there(9, false, "0.0.0.0", lan.pid);
	const struct {
		const char *route, *glibc, *musl; // what each libc calls it
	} cases[] = {
	    {"ip route add default via 192.0.2.2", "Permission denied",
	        "Permission denied"},
	    {"ip route del default", "Network is unreachable",
	        "Network unreachable"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.route);
		ASSERT_TRUE(a.sh(c.route)) << a.why;
		for (const std::string &addr : {std::string("not-an-address"),
		         std::string("256.1.1.1"), std::string("2001:db8::1"),
		         std::string(), std::string("255.255.255.255"),
		         std::string(10000, '1')}) {
			SCOPED_TRACE("to \"" + addr.substr(0, 20) + "\"");
			result r = run({tossgram(), "0", addr, "9"}, a.in());
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.out, "");
			EXPECT_EQ(r.err,
			    std::string("sendto: ") +
			        (libc() == "musl" ? c.musl : c.glibc) + "\n");
			nothing_arrived(there);
		}
	}
}

// What docs/recipes.md says a sendto error means: a rule of the host's
// own output path that drops the datagram.
TEST(tossgram, output_rule_drop_is_operation_not_permitted)
{
	host a;
	if (!a.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", a.why);
	ASSERT_TRUE(a.sh("nft add table ip out && nft add chain ip out output "
	                 "'{ type filter hook output priority filter; }' && "
	                 "nft add rule ip out output udp dport 9 drop"))
	    << a.why;
	result r = run({tossgram(), "0", "127.0.0.1", "9"}, a.in());
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "sendto: Operation not permitted\n");
}

// glibc's inet_addr takes white space after the address; musl's cannot
// read it, and the send fails.
TEST(tossgram, address_with_trailing_blank_follows_the_libc)
{
	udp dst;
	result r =
	    run({tossgram(), "0", "127.0.0.1 ", std::to_string(dst.port)});
	std::string d;
	if (libc() == "musl") {
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err.rfind("sendto: ", 0), 0u) << r.err;
		nothing_arrived(dst);
	} else {
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_TRUE(dst.recv(d)) << "no datagram";
	}
}

} // namespace
