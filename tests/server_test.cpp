// SPDX-License-Identifier: ISC
// server, run as a black box: datagrams from the test's own socket and from
// tossgram, the lines they print, how it ends, and two hosts in namespaces.
#include "harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <random>
#include <regex>

using namespace harness;

namespace {

// A server on a free port of its own, ready once its socket is bound; in
// the test's own host unless wrap says otherwise.
struct receiver {
	int port = freeport();
	proc p;

	explicit receiver(const args &wrap = {}, output to = output::pipe,
	    const std::string &file = "")
	    : p({server(), std::to_string(port)}, wrap, to, file)
	{
	}
	bool ready()
	{
		return bound(p.pid, port, 10000) != 0;
	}
};

// Bytes that differ from one offset to the next, so that a line shows
// which part of a datagram was printed.
std::string pattern(size_t n)
{
	std::string s(n, ' ');
	for (size_t i = 0; i < n; i++)
		s[i] = static_cast<char>('a' + i % 26);
	return s;
}

// Each line reaches a pipe while the receiver runs, and many datagrams at
// once give one line each, in order.
TEST(server, lines_reach_a_pipe_at_once_and_in_order)
{
	receiver r;
	ASSERT_TRUE(r.ready());
	udp u;
	std::string l;
	for (const char *text : {"first", "second"}) {
		u.send(text, r.port);
		ASSERT_TRUE(r.p.line(l, 3000))
		    << "\"" << text << "\" held back";
		EXPECT_EQ(l, text);
	}
	for (int i = 0; i < 100; i++)
		u.send("datagram " + std::to_string(i), r.port);
	for (int i = 0; i < 100; i++) {
		ASSERT_TRUE(r.p.line(l)) << "line " << i << " missing";
		ASSERT_EQ(l, "datagram " + std::to_string(i));
	}
	EXPECT_FALSE(r.p.ended(0));
}

TEST(server, sigterm_loses_no_line_in_a_file)
{
	char path[] = "/tmp/server-out-XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	close(fd);
	std::string expect;
	{
		receiver r({}, output::pipe, path);
		ASSERT_TRUE(r.ready());
		udp u;
		for (int i = 0; i < 20; i++) {
			u.send("line " + std::to_string(i), r.port);
			expect += "line " + std::to_string(i) + "\n";
		}
		// The lines are in the file while the receiver still runs.
		EXPECT_TRUE(until(5000, [&] { return slurp(path) == expect; }))
		    << slurp(path);
		kill(r.p.pid, SIGTERM);
		int status = 0;
		ASSERT_TRUE(r.p.ended(5000, &status));
		EXPECT_EQ(status, 128 + SIGTERM);
	}
	EXPECT_EQ(slurp(path), expect);
	unlink(path);
}

struct usage_case {
	const char *name;
	std::vector<std::string> argv;
};

class usage : public testing::TestWithParam<usage_case> {};

TEST_P(usage, reported_with_the_name_it_was_started_under)
{
	args a = {server()};
	a.insert(a.end(), GetParam().argv.begin(), GetParam().argv.end());
	result r = run(a);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "usage: " + server() + " <port>\n");
}

INSTANTIATE_TEST_SUITE_P(server, usage,
    testing::Values(usage_case{"no_argument", {}},
        usage_case{"two_arguments", {"9000", "9001"}},
        usage_case{"three_arguments", {"1", "2", "3"}},
        usage_case{"beyond_int", {"2147483648"}},
        usage_case{"below_int", {"-2147483649"}},
        usage_case{"twenty_digits", {"99999999999999999999"}},
        usage_case{"two_to_32", {"4294967296"}}),
    by_name());

// Output that cannot be written ends the receiver with a report, rather
// than losing every line without a word.
TEST(server, output_that_fails_ends_it)
{
	receiver r({}, output::pipe, "/dev/full");
	ASSERT_TRUE(r.ready()) << r.p.err();
	udp u;
	u.send("lost", r.port);
	int status = 0;
	ASSERT_TRUE(r.p.ended(5000, &status)) << "still running";
	EXPECT_EQ(status, 1);
	EXPECT_EQ(r.p.err(),
	    "ERROR writing to standard output: No space left on device\n");
}

// Started with standard output closed, the socket must not take its
// number: the lines would go into the socket.
TEST(server, closed_stdout_keeps_the_socket_clear)
{
	receiver r({}, output::closed);
	ASSERT_TRUE(r.ready()) << r.p.err();
	for (const auto &s : sockets(r.p.pid))
		EXPECT_GT(s.first, 2)
		    << "the socket took a standard descriptor";
	// The same file, by device and inode: its path reads differently
	// in a chroot.
	struct stat out {
	}, null{};
	std::string fd1 = "/proc/" + std::to_string(r.p.pid) + "/fd/1";
	ASSERT_EQ(stat(fd1.c_str(), &out), 0) << "standard output still closed";
	ASSERT_EQ(stat("/dev/null", &null), 0);
	EXPECT_TRUE(out.st_rdev == null.st_rdev && out.st_ino == null.st_ino)
	    << "standard output is no /dev/null";
	udp u;
	u.send("into the void", r.port);
	u.send("and again", r.port);
	EXPECT_FALSE(r.p.ended(300)) << r.p.err();
}

// What anyone can send, as the operator's terminal gets it (caret
// notation for control bytes) and as a pipe gets it (unchanged): in both,
// up to a zero byte and at most 1024 bytes, and no tail of it in the
// next line.
struct shown_case {
	const char *name;
	std::string data;
	std::string tty;
};

std::string times(int n, const std::string &s)
{
	std::string all;
	for (int i = 0; i < n; i++)
		all += s;
	return all;
}

// before each byte from first to last, one after the other.
std::string span(const std::string &before, int first, int last)
{
	std::string s;
	for (int c = first; c <= last; c++)
		s += before + static_cast<char>(c);
	return s;
}

class shown : public testing::TestWithParam<shown_case> {};

TEST_P(shown, on_a_terminal_in_caret_notation)
{
	const auto &c = GetParam();
	receiver r({}, output::pty);
	ASSERT_TRUE(r.ready()) << r.p.err();
	udp u;
	u.send(c.data, r.port);
	u.send("next", r.port);
	std::string l;
	ASSERT_TRUE(r.p.line(l));
	EXPECT_EQ(l, c.tty);
	ASSERT_TRUE(r.p.line(l)) << "for the second datagram";
	EXPECT_EQ(l, "next");
}

TEST_P(shown, on_a_pipe_unchanged)
{
	const auto &c = GetParam();
	std::string text =
	    c.data.substr(0, std::min(c.data.find('\0'), size_t{1024}));
	receiver r;
	ASSERT_TRUE(r.ready());
	udp u;
	u.send(c.data, r.port);
	u.send("next", r.port);
	std::string got, l;
	for (size_t i = 0; i <=
	     static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
	     i++) {
		ASSERT_TRUE(r.p.line(l)) << "line " << i << " missing";
		got += (i ? "\n" : "") + l;
	}
	EXPECT_EQ(got, text);
	ASSERT_TRUE(r.p.line(l)) << "for the second datagram";
	EXPECT_EQ(l, "next");
	EXPECT_FALSE(r.p.ended(0));
}

INSTANTIATE_TEST_SUITE_P(server, shown,
    testing::Values(shown_case{"empty", "", ""}, shown_case{"one", "x", "x"},
        shown_case{"zero_inside", std::string("ab\0cd", 5), "ab"},
        shown_case{"zero_first", std::string("\0abc", 4), ""},
        shown_case{"not_utf8", "\xff\xfe\x80", "\xff\xfeM-^@"},
        shown_case{"b1023", pattern(1023), pattern(1023)},
        shown_case{"b1024", pattern(1024), pattern(1024)},
        shown_case{"b1025", pattern(1025), pattern(1024)},
        shown_case{"b2000", pattern(2000), pattern(1024)},
        shown_case{"b65507", pattern(65507), pattern(1024)},
        shown_case{"b1024_zero_at_1000", pattern(1000) + '\0' + pattern(23),
            pattern(1000)},
        shown_case{"b65507_zero_at_1023", pattern(1023) + '\0' + pattern(64483),
            pattern(1023)},
        shown_case{"b65507_zero_at_2000", pattern(2000) + '\0' + pattern(63506),
            pattern(1024)},
        shown_case{"escapes", "ok\x1b[2K\rfwd 5060 ok\x1b]0;owned\a",
            "ok^[[2K^Mfwd 5060 ok^[]0;owned^G"},
        shown_case{"shift_out_in",
            "\x0e"
            "abc\x0f",
            "^Nabc^O"},
        shown_case{"newline", "a\nb", "a^Jb"},
        shown_case{"all_controls", span("", 1, 0x1f) + '\x7f',
            "^A^B^C^D^E^F^G^H\t^J^K^L^M^N^O^P^Q^R^S^T^U^V^W^X^Y^Z^[^\\^]^^^_^"
            "?"},
        shown_case{"tab", "a\tb", "a\tb"},
        shown_case{"utf8",
            "gr\xc3\xbc\xc3\x9f"
            "e \xe2\x9c\x93",
            "gr\xc3\xbc\xc3\x9f"
            "e \xe2\x9c\x93"},
        shown_case{
            "lone_c1_bytes", "\x80\x9b\x9f\xff\xa0", "M-^@M-^[M-^_\xff\xa0"},
        shown_case{"utf8_csi_clears",
            "log\xc2\x9b"
            "2J\xc2\x9b"
            "1;1Hall clear",
            "logM-BM-^[2JM-BM-^[1;1Hall clear"},
        shown_case{"utf8_osc_title",
            "\xc2\x9d"
            "0;owned\xc2\x9c",
            "M-BM-^]0;ownedM-BM-^\\"},
        shown_case{
            "utf8_c1_all", span("\xc2", 0x80, 0x9f), span("M-BM-^", '@', '_')},
        shown_case{"utf8_from_a0_passes",
            "\xc2\xa0\xc5\x9b\xd0\x9f\xe2\x80\x9c\xf0\x9f\x98\x80",
            "\xc2\xa0\xc5\x9b\xd0\x9f\xe2\x80\x9c\xf0\x9f\x98\x80"},
        shown_case{"broken_utf8",
            "\xc2\x1b\xc2\xe2\x9b\xe0\x9f\x9b\xed\xa0\x80\xc0\x9b\xf4\x90\x80"
            "\x80",
            "\xc2^[\xc2\xe2M-^[\xe0M-^_M-^[\xed\xa0M-^@\xc0M-^[\xf4M-^PM-^@M-^"
            "@"},
        shown_case{"cut_at_zero", std::string("\xe2\x80\0\x9b", 4), "\xe2M-^@"},
        shown_case{
            "full_of_c1", std::string(1100, '\x9b'), times(1024, "M-^[")},
        shown_case{"zero_ends", std::string("a\x1b\0\x1b", 4), "a^["},
        shown_case{
            "full_of_escapes", std::string(1100, '\x1b'), times(1024, "^[")}),
    by_name());

// What a terminal would obey in a line it is shown: a C0 control but tab,
// DEL, or a C1 control, whether as UTF-8 or as a byte on its own. The
// line is read with the C library's own UTF-8 decoder.
locale_t utf8()
{
	static const locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
	return l;
}

std::string obeyed(const std::string &line)
{
	locale_t old = uselocale(utf8());
	std::string found;
	mbstate_t st{};
	for (size_t i = 0; i < line.size() && found.empty();) {
		wchar_t wc = 0;
		size_t n = mbrtowc(&wc, line.data() + i, line.size() - i, &st);
		if (n > line.size()) { // no character: a byte on its own
			st = mbstate_t{};
			wc = static_cast<unsigned char>(line[i]);
			n = 1;
		}
		if ((wc < 0x20 && wc != '\t') || (wc >= 0x7f && wc < 0xa0))
			found = "code " + std::to_string(wc) + " at " +
			    std::to_string(i);
		i += n;
	}
	uselocale(old);
	return found;
}

// Random datagrams, heavy in control characters and UTF-8 lead bytes: the
// terminal is shown none of their controls, each gives one line, and the
// receiver lives on. Bounded in count and in time.
TEST(server, random_datagrams_show_no_control_on_a_terminal)
{
	ASSERT_NE(utf8(), nullptr) << "no C.UTF-8 locale";
	unsigned seed = 20261208;
	if (const char *s = getenv("TEST_SEED"))
		seed = static_cast<unsigned>(atol(s));
	SCOPED_TRACE("TEST_SEED=" + std::to_string(seed));
	std::mt19937 rng(seed);
	auto pick = [&](unsigned n) {
		return static_cast<unsigned>(rng() % n);
	};
	// First byte and count: C0 controls, DEL and C1, the UTF-8 lead byte
	// of C1 controls, all lead bytes, continuation bytes, any byte.
	const unsigned ranges[][2] = {{0, 0x20}, {0x7f, 0x21}, {0xc2, 1},
	    {0xc2, 0x33}, {0x80, 0x40}, {1, 255}, {1, 255}};
	auto byte = [&] {
		const unsigned *range = ranges[pick(7)];
		return static_cast<char>(range[0] + pick(range[1]));
	};
	receiver r({}, output::pty);
	ASSERT_TRUE(r.ready()) << r.p.err();
	udp u;
	constexpr int most = 3000, batch = 25;
	long long deadline = now_ms() + 20000;
	int sent = 0;
	while (sent < most && now_ms() < deadline) {
		std::vector<std::string> data;
		for (int i = 0; i < batch; i++) {
			size_t len = pick(10) == 0 ? pick(1100) : pick(40);
			std::string d;
			while (d.size() < len)
				d += byte();
			u.send(d, r.port);
			data.push_back(d);
		}
		for (const auto &d : data) {
			std::string l;
			ASSERT_TRUE(r.p.line(l))
			    << "datagram " << sent << " gave no line";
			std::string bad = obeyed(l);
			ASSERT_EQ(bad, "") << "datagram " << sent
			                   << " shown as \"" << l << "\"";
			sent++;
		}
	}
	EXPECT_GE(sent, 500) << "too few datagrams in the time";
	EXPECT_FALSE(r.p.ended(0)) << r.p.err();
}

// A port held without address reuse stops the receiver; a second
// receiver, which asks for reuse as the first did, shares the port.
TEST(server, port_held_with_and_without_reuse)
{
	udp holder(0, false, "0.0.0.0");
	result r = run({server(), std::to_string(holder.port)});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_TRUE(
	    std::regex_match(r.err, std::regex("ERROR on binding: [^\n]+\n")))
	    << r.err;
	receiver first;
	ASSERT_TRUE(first.ready());
	proc second({server(), std::to_string(first.port)});
	EXPECT_TRUE(bound(second.pid, first.port, 10000));
	EXPECT_FALSE(second.ended(200)) << second.err();
	EXPECT_FALSE(first.p.ended(0));
}

// Port words atoi reads as some number: the port is that number's low
// 16 bits, and a word without a leading number binds a port the system
// picks. The port is found from the socket the receiver holds.
struct word_case {
	const char *name;
	const char *word; // {} stands for a free port plus add
	int add;
};

class port_word : public testing::TestWithParam<word_case> {};

TEST_P(port_word, binds_and_prints)
{
	const auto &c = GetParam();
	int want = freeport();
	proc p({server(), fill(c.word, want + c.add)});
	int port = bound(p.pid, 0, 10000);
	ASSERT_NE(port, 0) << p.err();
	if (strstr(c.word, "{}") != nullptr)
		EXPECT_EQ(port, want);
	udp u;
	u.send("hello", port);
	std::string l;
	ASSERT_TRUE(p.line(l));
	EXPECT_EQ(l, "hello");
}

INSTANTIATE_TEST_SUITE_P(server, port_word,
    testing::Values(word_case{"word", "abc", 0}, word_case{"empty", "", 0},
        word_case{"format", "%n%n%s", 0}, word_case{"hex", "0x50", 0},
        word_case{"not_utf8", "\xff\xfe", 0},
        word_case{"trailing_letters", "{}abc", 0},
        word_case{"leading_space", " {}", 0}, word_case{"wrapped", "{}", 65536},
        word_case{"negative", "{}", -65536}),
    by_name());

// Two hosts: tossgram on 192.0.2.1 sends to server on 192.0.2.2, whose
// hosts file names the sender or not, and whose resolver cannot answer:
// then glibc's lookup finds no host, and the receiver ends, while musl
// answers any IPv4 address with its numeric name.
struct hosts_case {
	const char *name, *hosts;
};

class two_hosts : public testing::TestWithParam<hosts_case> {};

TEST_P(two_hosts, line_crosses_the_link)
{
	host a, b(GetParam().hosts);
	a.link(b, "192.0.2.1/24", "192.0.2.2/24");
	if (!a.ok())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_NETNS", a.why);
	receiver r(b.in());
	ASSERT_TRUE(r.ready()) << r.p.err();
	result s = run({tossgram(), "4242", "192.0.2.2", std::to_string(r.port),
	                   "from hosta"},
	    a.in());
	EXPECT_EQ(s.status, 0) << s.err;
	std::string l;
	int status = 0;
	if (strstr(GetParam().hosts, "hosta") != nullptr || libc() == "musl") {
		ASSERT_TRUE(r.p.line(l, 10000));
		EXPECT_EQ(l, "from hosta");
		EXPECT_FALSE(r.p.ended(200));
	} else {
		ASSERT_TRUE(r.p.ended(10000, &status));
		EXPECT_EQ(status, 1);
		EXPECT_FALSE(r.p.line(l, 100)) << "printed: " << l;
		EXPECT_TRUE(std::regex_match(
		    r.p.err(), std::regex("ERROR on gethostbyaddr: [^\n]*\n")))
		    << r.p.err();
	}
}

INSTANTIATE_TEST_SUITE_P(server, two_hosts,
    testing::Values(
        hosts_case{"named", "127.0.0.1 localhost\n192.0.2.1 hosta\n"},
        hosts_case{"unknown", "127.0.0.1 localhost\n"}),
    by_name());

} // namespace
