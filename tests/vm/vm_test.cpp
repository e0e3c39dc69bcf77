// SPDX-License-Identifier: ISC
// The pair on the routers' kind of kernel: a MIPS 24Kc Linux without FPU
// support, booted once in qemu-system-mips with our init as PID 1. The
// guest runs its checks and prints a line for each; the host's part is a
// listener on 127.0.0.1 that the guest's tossgram reaches through the host
// alias 10.0.2.2, and the host's tossgram sending to the guest's server
// through a port forward. Each check is a test here.
#include "../harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

using namespace harness;

namespace {

struct guest {
	std::string why; // why it did not run
	std::map<std::string, std::string> checks; // name: "" passed, else why
	std::string console, from_guest;
	bool done = false;
	int status = -1;
};

guest boot()
{
	guest g;
	if (system("command -v qemu-system-mips >/dev/null 2>&1") != 0) {
		g.why = "qemu-system-mips is not installed";
		return g;
	}
	udp listener;
	int fwd = freeport();
	const std::string append = "console=ttyS0 panic=-1 tg.hostport=" +
	    std::to_string(listener.port());
	// The guest sends only to its own loopback and to 10.0.2.2; it
	// never uses the user-mode network's name server.
	proc q({"qemu-system-mips", "-M", "malta", "-cpu", "24Kc", "-m", "64",
	    "-nographic", "-no-reboot", "-vga", "none", "-kernel", VM_KERNEL,
	    "-initrd", VM_INITRD, "-append", append, "-netdev",
	    "user,id=n0,ipv6=off,hostfwd=udp:127.0.0.1:" + std::to_string(fwd) +
	        "-:9000",
	    "-device", "pcnet,netdev=n0,romfile=,addr=0b"});
	static const std::regex ok("tossgram-vm: ok (\\S+)\r?");
	static const std::regex bad("tossgram-vm: FAIL (\\S+): (.*?)\r?");
	const long long deadline = now_ms() + 120000;
	std::string l;
	std::smatch m;
	while (!g.done && now_ms() < deadline &&
	    q.line(l, static_cast<int>(deadline - now_ms()))) {
		g.console += l + "\n";
		if (std::regex_match(l, m, ok))
			g.checks[m[1]] = "";
		else if (std::regex_match(l, m, bad))
			g.checks[m[1]] = m[2];
		else if (l.find("tossgram-vm: ready received_from_host") == 0)
			run({tossgram(), "0", "127.0.0.1", std::to_string(fwd),
			    "from the host"});
		else if (l.find("tossgram-vm: done") == 0)
			g.done = true;
	}
	// Powered off, qemu ends by itself; otherwise it is killed.
	q.ended(10000, &g.status);
	if (!g.done)
		g.why = "the guest did not finish within 120 s; console:\n" +
		    g.console;
	listener.recv(g.from_guest, nullptr, 0);
	return g;
}

const guest &vm()
{
	static const guest g = boot();
	return g;
}

class check : public testing::TestWithParam<const char *> {};

TEST_P(check, passes_in_the_guest)
{
	if (!vm().why.empty())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_VM", vm().why);
	auto c = vm().checks.find(GetParam());
	ASSERT_NE(c, vm().checks.end()) << "no result; console:\n"
	                                << vm().console;
	EXPECT_EQ(c->second, "") << "console:\n" << vm().console;
}

INSTANTIATE_TEST_SUITE_P(vm, check,
    testing::Values("network", "loopback_default", "loopback_message",
        "sigterm_keeps_lines", "reuse_shares_a_port", "sent_to_host",
        "received_from_host", "fpu_instruction_sigill"),
    by_name());

TEST(vm, host_received_the_50_bytes)
{
	if (!vm().why.empty())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_VM", vm().why);
	EXPECT_EQ(vm().from_guest, "from the router" + std::string(35, '\0'));
}

TEST(vm, powered_off)
{
	if (!vm().why.empty())
		SKIP_UNLESS_REQUIRED("TEST_REQUIRE_VM", vm().why);
	EXPECT_EQ(vm().status, 0) << "qemu did not end by itself";
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
