// SPDX-License-Identifier: ISC
// The pair on the routers' kind of kernel: a MIPS 24Kc Linux without FPU
// support, booted once in qemu-system-mips with our init as PID 1, which
// does what the tests tell it on the console and reports raw output and
// statuses; the tests judge.
#include "../harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <memory>

using namespace harness;

namespace {

struct guest {
	udp listener;
	const int fwd = freeport();
	std::string why, console; // why it did not boot; all it printed
	int net = -1; // how bringing up the network went
	std::map<std::string, int> pids; // what start started, by id
	std::unique_ptr<proc> q;

	guest()
	{
		if (run({"sh", "-c", "command -v qemu-system-mips"}).status) {
			why = "qemu-system-mips is not installed";
			return;
		}
		// The guest sends only to its own loopback and to 10.0.2.2;
		// it never uses the user-mode network's name server.
		q = std::make_unique<proc>(
		    args{"qemu-system-mips", "-M", "malta", "-cpu", "24Kc",
		        "-m", "64", "-nographic", "-no-reboot", "-vga", "none",
		        "-kernel", VM_KERNEL, "-initrd", VM_INITRD, "-append",
		        "console=ttyS0 panic=-1", "-netdev",
		        "user,id=n0,ipv6=off,hostfwd=udp:127.0.0.1:" +
		            std::to_string(fwd) + "-:9000",
		        "-device", "pcnet,netdev=n0,romfile=,addr=0b"},
		    args{}, output::pipe, "", true);
		if ((net = wait("net", 120000).status) < 0)
			why = "the guest did not come up in 120 s:\n" + console;
	}

	// What came of the command with this id: its lines, then its status.
	result wait(const std::string &id, int timeout_ms = 30000)
	{
		result a;
		const std::string out = "tg " + id + " > ",
		                  end = "tg " + id + " = ";
		const long long deadline = now_ms() + timeout_ms;
		for (std::string l;
		     q->line(l, static_cast<int>(deadline - now_ms()));) {
			if (!l.empty() && l.back() == '\r')
				l.pop_back();
			console += l + "\n";
			if (l.rfind(out, 0) == 0)
				a.out += l.substr(out.size()) + "\n";
			else if (l.rfind(end, 0) == 0)
				return a.status = atoi(&l[end.size()]), a;
		}
		return a;
	}

	// Tells the guest one command, its words: the second is its id.
	result ask(const args &words)
	{
		std::string line;
		for (const auto &w : words)
			line += (line.empty() ? "" : "\t") + w;
		q->say(line + "\n");
		return wait(words.size() > 1 ? words[1] : "");
	}
};

guest &vm()
{
	static guest g;
	return g;
}

// How many sockets the guest holds on UDP port, by its /proc/net/udp.
int sockets_on(int port)
{
	std::string udp = vm().ask({"cat", "udp", "/proc/net/udp"}).out;
	char want[16];
	snprintf(want, sizeof want, ":%04X ", port);
	int found = 0;
	for (size_t at = 0; (at = udp.find(want, at)) != std::string::npos;
	     at++)
		found++;
	return found;
}

// A receiver started in the guest, its pid there kept by id; with bind,
// bound within the bounded wait.
void receiver(const std::string &id, int port, bool bind = true)
{
	int pid =
	    vm().ask({"start", id, "/bin/server", std::to_string(port)}).status;
	vm().pids[id] = pid;
	ASSERT_GT(pid, 0);
	ASSERT_TRUE(!bind || until(10000, [&] { return sockets_on(port) > 0; }))
	    << id << " did not bind:\n"
	    << vm().console;
}

int tossgram_in_guest(const args &a)
{
	args words = {"run", "t", "/bin/tossgram"};
	words.insert(words.end(), a.begin(), a.end());
	return vm().ask(words).status;
}

result stop(const std::string &id, int sig)
{
	return vm().ask(
	    {"stop", id, std::to_string(vm().pids[id]), std::to_string(sig)});
}

class in_guest : public testing::Test {
      protected:
	void SetUp() override
	{
		if (!vm().why.empty())
			SKIP_UNLESS_REQUIRED("TEST_REQUIRE_VM", vm().why);
	}
};

// The lines are in the file as they come: SIGTERM ends the receiver
// without a chance to write what it might hold back.
TEST_F(in_guest, pair_on_loopback)
{
	EXPECT_EQ(vm().net, 0) << "no network in the guest";
	receiver("pair", 9001);
	EXPECT_EQ(tossgram_in_guest({"40000", "127.0.0.1", "9001"}), 0);
	EXPECT_EQ(
	    tossgram_in_guest({"40001", "127.0.0.1", "9001", "hello, router"}),
	    0);
	result a = stop("pair", SIGTERM);
	EXPECT_EQ(a.status, 128 + SIGTERM) << "it ended before it was stopped";
	EXPECT_EQ(a.out, "flarn\nhello, router\n");
}

// The MIPS values of SOL_SOCKET and SO_REUSEADDR, on a real MIPS kernel.
TEST_F(in_guest, reuse_shares_a_port)
{
	receiver("first", 9003);
	receiver("second", 9003, false);
	EXPECT_TRUE(until(10000, [] { return sockets_on(9003) == 2; }));
	EXPECT_EQ(stop("second", SIGKILL).status, 128 + SIGKILL);
	EXPECT_EQ(stop("first", SIGKILL).status, 128 + SIGKILL);
}

// To the host's listener through the host alias, and from the host's
// tossgram through the port forward.
TEST_F(in_guest, to_and_from_the_host)
{
	EXPECT_EQ(tossgram_in_guest({"40002", "10.0.2.2",
	              std::to_string(vm().listener.port), "from the router"}),
	    0);
	std::string d;
	EXPECT_TRUE(vm().listener.recv(d, nullptr, 10000));
	EXPECT_EQ(d, "from the router" + std::string(35, '\0'));
	receiver("fwd", 9000);
	EXPECT_EQ(run({tossgram(), "0", "127.0.0.1", std::to_string(vm().fwd),
	                  "from the host"})
	              .status,
	    0);
	until(10000, [&] {
		return !(d = vm().ask({"cat", "fwd", "/tmp/fwd"}).out).empty();
	});
	EXPECT_EQ(d, "from the host\n");
	EXPECT_EQ(stop("fwd", SIGKILL).status, 128 + SIGKILL);
}

// One FPU instruction kills its process: so a pass of the others shows
// that nothing of theirs ran one.
TEST_F(in_guest, fpu_instruction_is_sigill)
{
	EXPECT_EQ(vm().ask({"run", "fpu", "fpu"}).status, 128 + SIGILL);
}

TEST_F(in_guest, zz_powers_off)
{
	vm().q->say("off\n");
	int status = -1;
	EXPECT_TRUE(vm().q->ended(30000, &status));
	EXPECT_EQ(status, 0) << "qemu did not end by itself";
	if (getenv("TEST_VM_CONSOLE") != nullptr)
		printf("%s", vm().console.c_str());
}

TEST(vm, kernel_is_the_routers_kind)
{
	const std::string config = slurp(VM_CONFIG);
	for (const char *line : {"CONFIG_MIPS_MALTA=y",
	         "CONFIG_CPU_MIPS32_R2=y", "CONFIG_CPU_BIG_ENDIAN=y",
	         "# CONFIG_MIPS_FP_SUPPORT is not set"})
		EXPECT_NE(config.find(std::string("\n") + line + "\n"),
		    std::string::npos)
		    << line;
}

} // namespace
