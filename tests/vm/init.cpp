// SPDX-License-Identifier: ISC
// init: PID 1 of the full-system check, the host's hands in the guest. It
// mounts what the programs need, brings up lo and eth0 (qemu's user-mode
// network: 10.0.2.15/24, the host at 10.0.2.2), reports "tg net = STATUS",
// then obeys the console a line at a time, its words split by tabs:
//   run ID PROGRAM ARG...    runs it to its end, its output into /tmp/ID;
//                            PROGRAM fpu runs one FPU instruction
//   start ID PROGRAM ARG...  starts it so; STATUS is its pid
//   stop ID PID SIGNAL       sends the signal and finishes it as run does
//   cat ID FILE              prints the file
//   off                      powers off
// reporting "tg ID > LINE" for each line of output, then "tg ID = STATUS"
// (exit status, or 128 + signal). It judges nothing. Static; not installed.
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool up(int s, const char *name, const char *addr, const char *mask)
{
	ifreq ifr{};
	strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
	auto *sin = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
	sin->sin_family = AF_INET;
	const char *value[] = {addr, mask};
	const unsigned long set[] = {SIOCSIFADDR, SIOCSIFNETMASK};
	for (int i = 0; i < 2 && value[i] != nullptr; i++)
		if (sin->sin_addr.s_addr = inet_addr(value[i]),
		    ioctl(s, set[i], &ifr) < 0)
			return false;
	if (ioctl(s, SIOCGIFFLAGS, &ifr) < 0)
		return false;
	ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
	return ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

int network()
{
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (s < 0 || !up(s, "lo", nullptr, nullptr) ||
	    !up(s, "eth0", "10.0.2.15", "255.255.255.0"))
		return 1;
	rtentry rt{};
	auto *dst = reinterpret_cast<sockaddr_in *>(&rt.rt_dst);
	auto *gw = reinterpret_cast<sockaddr_in *>(&rt.rt_gateway);
	auto *mask = reinterpret_cast<sockaddr_in *>(&rt.rt_genmask);
	dst->sin_family = gw->sin_family = mask->sin_family = AF_INET;
	gw->sin_addr.s_addr = inet_addr("10.0.2.2");
	rt.rt_flags = RTF_UP | RTF_GATEWAY;
	int st = ioctl(s, SIOCADDRT, &rt) == 0 ? 0 : 1;
	close(s);
	return st;
}

void cat(const char *id, const char *path)
{
	char l[1200];
	if (FILE *f = fopen(path, "r")) {
		while (fgets(l, sizeof l, f) != nullptr)
			printf(
			    "tg %s > %s%s", id, l, strchr(l, '\n') ? "" : "\n");
		fclose(f);
	}
}

// argv with standard output into /tmp/ID; or, without argv, waits for pid
// and prints that output: its status.
int run(const char *id, char *const argv[], pid_t pid = 0)
{
	char out[64];
	snprintf(out, sizeof out, "/tmp/%s", id);
	if (argv != nullptr && (pid = fork()) == 0) {
		dup2(open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
		if (strcmp(argv[0], "fpu") != 0)
			execv(argv[0], argv);
		else // a kernel without FPU support kills the process here
			asm volatile(".set push\n.set hardfloat\nmtc1 $zero, "
			             "$f0\n.set pop");
		_exit(strcmp(argv[0], "fpu") == 0 ? 0 : 127);
	}
	int st = 0;
	if (argv != nullptr || waitpid(pid, &st, 0) < 0)
		return argv != nullptr ? pid : -1;
	cat(id, out);
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

int main()
{
	mount("proc", "/proc", "proc", 0, nullptr);
	mount("sysfs", "/sys", "sysfs", 0, nullptr);
	mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
	setvbuf(stdout, nullptr, _IOLBF, 0);
	// What the host types is not echoed into what it reads.
	termios t{};
	tcgetattr(0, &t);
	t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
	tcsetattr(0, TCSANOW, &t);
	printf("tg net = %d\n", network());

	char l[1024];
	while (fgets(l, sizeof l, stdin) != nullptr) {
		char *w[32] = {};
		int n = 0;
		for (char *p = strtok(l, "\t\r\n"); p != nullptr && n < 31;
		     p = strtok(nullptr, "\t\r\n"))
			w[n++] = p;
		if (n == 1 && strcmp(w[0], "off") == 0)
			break;
		if (n < 3)
			continue;
		int st = -1;
		if (strcmp(w[0], "run") == 0)
			st = run(w[1], nullptr, run(w[1], w + 2));
		else if (strcmp(w[0], "start") == 0)
			st = run(w[1], w + 2);
		else if (strcmp(w[0], "stop") == 0 && n == 4 &&
		    kill(atoi(w[2]), atoi(w[3])) == 0)
			st = run(w[1], nullptr, atoi(w[2]));
		else if (strcmp(w[0], "cat") == 0)
			st = (cat(w[1], w[2]), 0);
		printf("tg %s = %d\n", w[1], st);
	}
	sync();
	reboot(RB_POWER_OFF);
	for (;;)
		pause();
}
