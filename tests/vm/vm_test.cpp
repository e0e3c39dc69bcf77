// SPDX-License-Identifier: ISC
// The pair on the routers' kind of kernel: a MIPS 24Kc Linux without FPU
// support, booted once in qemu-system-mips with our init as PID 1. The
// guest runs what the tests tell it over the console and reports raw
// output and statuses; the tests judge. The host's part: a listener on
// 127.0.0.1 that the guest's tossgram reaches through the host alias
// 10.0.2.2, and the host's tossgram sending to the guest's server through
// a port forward.
#include "../harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>

#include <fstream>
#include <memory>

using namespace harness;

namespace {

struct answer {
	int status = -1;
	std::vector<std::string> out;
};

class guest {
      public:
	udp listener;
	const int fwd = freeport();
	std::string why; // why it did not boot
	std::string console;
	int net = -1;

	guest()
	{
		if (run({"sh", "-c", "command -v qemu-system-mips"}).status !=
		    0) {
			why = "qemu-system-mips is not installed";
			return;
		}
		// The guest sends only to its own loopback and to 10.0.2.2;
		// it never uses the user-mode network's name server.
		q_ = std::make_unique<proc>(
		    args{"qemu-system-mips", "-M", "malta", "-cpu", "24Kc",
		        "-m", "64", "-nographic", "-no-reboot", "-vga", "none",
		        "-kernel", VM_KERNEL, "-initrd", VM_INITRD, "-append",
		        "console=ttyS0 panic=-1", "-netdev",
		        "user,id=n0,ipv6=off,hostfwd=udp:127.0.0.1:" +
		            std::to_string(fwd) + "-:9000",
		        "-device", "pcnet,netdev=n0,romfile=,addr=0b"},
		    args{}, output::pipe, "", true);
		answer a = wait("net", 120000);
		net = a.status;
		if (net < 0)
			why = "the guest did not come up in 120 s; console:\n" +
			    console;
	}

	// Tells the guest one command, its words tab-separated; what came of
	// it, by the id that is the second word.
	answer ask(
	    const std::vector<std::string> &words, int timeout_ms = 30000)
	{
		std::string line;
		for (const auto &w : words)
			line += (line.empty() ? "" : "\t") + w;
		q_->say(line + "\n");
		return wait(words.size() > 1 ? words[1] : "", timeout_ms);
	}

	// Powers the guest off; qemu's status, once it has ended by itself.
	int off()
	{
		q_->say("off\n");
		int status = -1;
		return q_->ended(30000, &status) ? status : -1;
	}

      private:
	std::unique_ptr<proc> q_;

	answer wait(const std::string &id, int timeout_ms)
	{
		answer a;
		const std::string out = "tg " + id + " > ",
		                  end = "tg " + id + " = ";
		const long long deadline = now_ms() + timeout_ms;
		std::string l;
		while (q_->line(l, static_cast<int>(deadline - now_ms()))) {
			if (!l.empty() && l.back() == '\r')
				l.pop_back();
			console += l + "\n";
			if (l.rfind(out, 0) == 0) {
				a.out.push_back(l.substr(out.size()));
			} else if (l.rfind(end, 0) == 0) {
				a.status = atoi(l.c_str() + end.size());
				break;
			}
		}
		return a;
	}
};

guest &vm()
{
	static guest g;
	return g;
}

std::string n(int i)
{
	return std::to_string(i);
}

// How many sockets the guest holds on UDP port, by its /proc/net/udp.
int sockets_on(int port)
{
	char want[16];
	snprintf(want, sizeof want, ":%04X ", port);
	int found = 0;
	for (const auto &l : vm().ask({"cat", "udp", "/proc/net/udp"}).out)
		found += l.find(want) != std::string::npos;
	return found;
}

// A receiver started in the guest, bound within the bounded wait.
void receiver(const std::string &id, int port)
{
	ASSERT_EQ(vm().ask({"start", id, "/bin/server", n(port)}).status, 0);
	ASSERT_TRUE(until(10000, [&] { return sockets_on(port) > 0; }))
	    << "server " << id << " did not bind; console:\n"
	    << vm().console;
}

class in_guest : public testing::Test {
      protected:
	void SetUp() override
	{
		if (!vm().why.empty())
			SKIP_UNLESS_REQUIRED("TEST_REQUIRE_VM", vm().why);
	}
};

TEST_F(in_guest, network_is_up)
{
	EXPECT_EQ(vm().net, 0) << vm().console;
}

TEST_F(in_guest, pair_on_loopback)
{
	receiver("pair", 9001);
	EXPECT_EQ(vm().ask({"run", "t1", "/bin/tossgram", "40000", "127.0.0.1",
	                       "9001"})
	              .status,
	    0);
	EXPECT_EQ(vm().ask({"run", "t2", "/bin/tossgram", "40001", "127.0.0.1",
	                       "9001", "hello, router"})
	              .status,
	    0);
	answer a = vm().ask({"stop", "pair", n(SIGKILL)});
	EXPECT_EQ(a.status, 128 + SIGKILL) << "it ended before it was stopped";
	EXPECT_EQ(a.out, (std::vector<std::string>{"flarn", "hello, router"}));
}

TEST_F(in_guest, sigterm_keeps_lines_in_a_file)
{
	receiver("term", 9002);
	for (const char *text : {"one", "two", "three"})
		EXPECT_EQ(vm().ask({"run", "t", "/bin/tossgram", "0",
		                       "127.0.0.1", "9002", text})
		              .status,
		    0);
	answer a = vm().ask({"stop", "term", n(SIGTERM)});
	EXPECT_EQ(a.status, 128 + SIGTERM);
	EXPECT_EQ(a.out, (std::vector<std::string>{"one", "two", "three"}));
}

// The MIPS values of SOL_SOCKET and SO_REUSEADDR, on a real MIPS kernel.
TEST_F(in_guest, reuse_shares_a_port)
{
	receiver("first", 9003);
	ASSERT_EQ(
	    vm().ask({"start", "second", "/bin/server", "9003"}).status, 0);
	EXPECT_TRUE(until(10000, [] { return sockets_on(9003) == 2; }));
	EXPECT_EQ(
	    vm().ask({"stop", "second", n(SIGKILL)}).status, 128 + SIGKILL);
	EXPECT_EQ(
	    vm().ask({"stop", "first", n(SIGKILL)}).status, 128 + SIGKILL);
}

TEST_F(in_guest, sent_to_the_host)
{
	EXPECT_EQ(vm().ask({"run", "t", "/bin/tossgram", "40002", "10.0.2.2",
	                       n(vm().listener.port()), "from the router"})
	              .status,
	    0);
	std::string d;
	ASSERT_TRUE(vm().listener.recv(d, nullptr, 10000));
	EXPECT_EQ(d, "from the router" + std::string(35, '\0'));
}

TEST_F(in_guest, received_from_the_host)
{
	receiver("fwd", 9000);
	EXPECT_EQ(
	    run({tossgram(), "0", "127.0.0.1", n(vm().fwd), "from the host"})
	        .status,
	    0);
	answer a;
	until(10000, [&] {
		a = vm().ask({"cat", "fwd", "/tmp/fwd"});
		return !a.out.empty();
	});
	EXPECT_EQ(a.out, std::vector<std::string>{"from the host"});
	EXPECT_EQ(vm().ask({"stop", "fwd", n(SIGKILL)}).status, 128 + SIGKILL);
}

// One FPU instruction kills its process: so a pass of the others shows
// that nothing of theirs ran one.
TEST_F(in_guest, fpu_instruction_is_sigill)
{
	EXPECT_EQ(vm().ask({"fpu", "fpu"}).status, 128 + SIGILL);
}

TEST_F(in_guest, zz_powers_off)
{
	EXPECT_EQ(vm().off(), 0) << "qemu did not end by itself";
	if (getenv("TEST_VM_CONSOLE") != nullptr)
		printf("%s", vm().console.c_str());
}

TEST(vm, kernel_is_the_routers_kind)
{
	std::ifstream f(VM_CONFIG);
	std::string config((std::istreambuf_iterator<char>(f)), {});
	for (const char *line : {"CONFIG_MIPS_MALTA=y",
	         "CONFIG_CPU_MIPS32_R2=y", "CONFIG_CPU_BIG_ENDIAN=y",
	         "# CONFIG_MIPS_FP_SUPPORT is not set"})
		EXPECT_NE(config.find(std::string("\n") + line + "\n"),
		    std::string::npos)
		    << line;
}

} // namespace
