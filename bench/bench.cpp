// SPDX-License-Identifier: ISC
// Measures tossgram and server side by side with the tools people use
// instead (OpenBSD nc, socat), on loopback only, and answers three
// questions: what one tossgram run costs, how fast server prints and how
// many system calls a datagram costs it, and whether a second sender is
// heard. Driven by bench/run.sh.
//
//   bench TOSSGRAM SERVER FLOOR OUTDIR quick|full [MUSL-LIBC MUSL-SERVER]
//
// With MUSL-LIBC and MUSL-SERVER, server built against musl (the routers'
// libc) is measured beside the glibc build. Prints the tables and writes
// OUTDIR/loss.dat for the plot.
#include "proc.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

using namespace harness;

namespace {

double median(std::vector<double> v)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Starts argv, its output into out; stdin from in.
pid_t spawn(
    const args &argv, const std::string &out, const std::string &in = "")
{
	int o = -1, e = -1;
	pid_t pid = start(argv, output::closed, out, &o, &e, in);
	close(e);
	return pid;
}

// Ends pid (SIGTERM, then SIGKILL after 5 s) and returns its CPU seconds.
double stop(pid_t pid)
{
	kill(-pid, SIGTERM);
	int st = 0;
	rusage ru{};
	long long end = now_ms() + 5000;
	while (wait4(pid, &st, WNOHANG, &ru) == 0) {
		if (now_ms() > end) {
			kill(-pid, SIGKILL);
			wait4(pid, &st, 0, &ru);
			break;
		}
		usleep(1000);
	}
	return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
	    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) *
	    1e-6;
}

// Records in the file at path: its lines that are not empty, since server
// adds a newline to a text that ends in one.
long records(const std::string &path)
{
	std::ifstream f(path);
	long n = 0;
	for (std::string l; std::getline(f, l);)
		n += !l.empty();
	return n;
}

// argv under strace -f -c, which writes its count to path at the end.
args traced(const std::string &path, args argv)
{
	argv.insert(argv.begin(), {"strace", "-f", "-c", "-o", path});
	return argv;
}

// System calls that strace -c wrote to path: their total.
double syscalls(const std::string &path)
{
	std::ifstream f(path);
	double n = 0;
	for (std::string line; std::getline(f, line);) {
		std::istringstream w(line);
		std::vector<std::string> col;
		for (std::string c; w >> c;)
			col.push_back(c);
		// % time, seconds, usecs/call, calls, [errors,] syscall
		if (col.size() >= 5 && col[0].find('.') != std::string::npos &&
		    col.back() != "total")
			n += atof(col[3].c_str());
	}
	return n;
}

struct receiver {
	std::string name;
	args argv; // "{port}" stands for the port

	args at(int port) const
	{
		args a = argv;
		for (auto &w : a)
			if (size_t p = w.find("{port}"); p != std::string::npos)
				w.replace(p, 6, std::to_string(port));
		return a;
	}
};

struct setup {
	std::string tossgram, floor, dir, tmp, out, payload;
	std::vector<receiver> receivers;
	bool quick = false;
};

// One sender invocation after the other, interleaved, each datagram
// checked by a listener; then each one's system calls.
void senders(const setup &s)
{
	udp listener;
	const std::string lp = std::to_string(listener.port()),
	                  sp = std::to_string(freeport());
	struct sender {
		std::string name;
		args argv;
		bool sends;
	};
	const std::vector<sender> all = {
	    {"tossgram", {s.tossgram, sp, "127.0.0.1", lp}, true},
	    {"nc", {"nc", "-n", "-u", "-w0", "-p", sp, "127.0.0.1", lp}, true},
	    {"socat",
	        {"socat", "-t0", "-",
	            "UDP-SENDTO:127.0.0.1:" + lp + ",sourceport=" + sp},
	        true},
	    {"/bin/true", {"/bin/true"}, false},
	    {"floor", {s.floor, sp, lp}, true},
	};
	const int rounds = s.quick ? 40 : 400, warm = s.quick ? 5 : 30;
	std::map<std::string, std::vector<double>> us, ratio;
	std::map<std::string, int> arrived;
	for (int r = 0; r < warm + rounds; r++) {
		std::map<std::string, double> t;
		for (size_t k = 0; k < all.size(); k++) {
			const sender &one =
			    all[(k + static_cast<size_t>(r)) % all.size()];
			long long t0 = now_us();
			waitpid(spawn(one.argv, "/dev/null",
			            one.sends ? s.payload : ""),
			    nullptr, 0);
			t[one.name] = static_cast<double>(now_us() - t0);
			std::string d;
			if (one.sends && listener.recv(d, nullptr, 1000) &&
			    d.size() == 50 && r >= warm)
				arrived[one.name]++;
		}
		if (r < warm)
			continue;
		for (auto &[name, x] : t) {
			us[name].push_back(x);
			ratio[name].push_back(t["tossgram"] / x);
		}
	}
	printf("One sender run: start, bind, send 50 bytes, exit (median of "
	       "%d interleaved rounds)\n\n%-10s %10s %16s %9s %13s\n",
	    rounds, "sender", "us per run", "tossgram / this", "arrived",
	    "system calls");
	for (const auto &one : all) {
		waitpid(spawn(traced(s.tmp, one.argv), "/dev/null",
		            one.sends ? s.payload : ""),
		    nullptr, 0);
		std::string d;
		while (listener.recv(d, nullptr, 200)) {
		}
		std::string got = one.sends
		    ? std::to_string(arrived[one.name]) + "/" +
		        std::to_string(rounds)
		    : "-";
		printf("%-10s %10.0f %16.2f %9s %13.0f\n", one.name.c_str(),
		    median(us[one.name]), median(ratio[one.name]), got.c_str(),
		    syscalls(s.tmp));
	}
}

struct trial {
	long sent = 0, printed = 0;
	double seconds = 0, cpu = 0;
};

// n records at rate per second (0: as fast as one socket sends them) to a
// fresh receiver; what it printed once its output stops growing.
trial send_to(const setup &s, const receiver &r, long rate, long n)
{
	trial t;
	int port = freeport();
	pid_t pid = spawn(r.at(port), s.out);
	if (bound(pid, port, 10000) == 0) {
		fprintf(stderr, "bench: %s did not bind\n", r.name.c_str());
		stop(pid);
		return t;
	}
	udp u;
	long long t0 = now_ms();
	for (long i = 0; i < n; i++) {
		while (rate > 0 && now_ms() < t0 + i * 1000 / rate) {
		}
		u.send("d" + std::to_string(i) + "\n", port);
	}
	t.sent = n;
	off_t size = -1;
	long long changed = now_ms(), end = now_ms() + 20000;
	while (now_ms() < end && now_ms() - changed < 300) {
		struct stat sb {};
		stat(s.out.c_str(), &sb);
		if (sb.st_size != size) {
			size = sb.st_size;
			changed = now_ms();
		}
		usleep(2000);
	}
	t.cpu = stop(pid);
	t.printed = records(s.out);
	t.seconds = static_cast<double>(std::max(1LL, changed - t0)) / 1000;
	return t;
}

// System calls per datagram of a receiver: a run with n datagrams less a
// run with none, over n. strace writes its count once the receiver ends.
double per_datagram(const setup &s, const receiver &r, long n)
{
	double calls[2] = {0, 0};
	for (long count : {0L, n}) {
		int port = freeport();
		pid_t pid = spawn(traced(s.tmp, r.at(port)), s.out);
		bound(pid, port, 10000);
		udp u;
		for (long i = 0; i < count; i++) {
			u.send("d" + std::to_string(i) + "\n", port);
			usleep(500);
		}
		for (long long end = now_ms() + 10000;
		     records(s.out) < count && now_ms() < end;)
			usleep(5000);
		stop(pid);
		calls[count == 0 ? 0 : 1] = syscalls(s.tmp);
	}
	return (calls[1] - calls[0]) / static_cast<double>(n);
}

// Each receiver at paced rates and unpaced, interleaved: the highest rate
// without loss, the saturated rate, CPU and system calls per datagram.
void receivers(const setup &s)
{
	const std::vector<long> rates = {
	    5000, 10000, 20000, 50000, 100000, 200000, 0};
	const int trials = s.quick ? 1 : 3;
	std::map<std::string, std::map<long, std::vector<trial>>> res;
	for (int k = 0; k < trials; k++)
		for (long rate : rates)
			for (size_t j = 0; j < s.receivers.size(); j++) {
				const receiver &r =
				    s.receivers[(j + static_cast<size_t>(k)) %
				        s.receivers.size()];
				long n = rate == 0
				    ? (s.quick ? 20000 : 100000)
				    : std::max(
				          4000L, rate * (s.quick ? 1 : 4) / 10);
				res[r.name][rate].push_back(
				    send_to(s, r, rate, n));
			}

	std::ofstream dat(s.dir + "/loss.dat");
	dat << "rate";
	for (const auto &r : s.receivers)
		dat << " \"" << r.name << "\"";
	for (long rate : rates) {
		if (rate == 0)
			continue;
		dat << "\n" << rate;
		for (const auto &r : s.receivers) {
			std::vector<double> loss;
			for (const auto &t : res[r.name][rate])
				loss.push_back(100.0 *
				    static_cast<double>(t.sent - t.printed) /
				    static_cast<double>(t.sent));
			dat << " " << median(loss);
		}
	}
	dat << "\n";

	printf("\nReceiver on loopback: a fresh one for each trial, its output "
	       "to a file, one sender\n\n%-14s %14s %14s %14s %14s\n",
	    "receiver", "no loss up to", "saturated /s", "us CPU each",
	    "calls each");
	std::map<std::string, double> sat;
	for (const auto &r : s.receivers) {
		long best = 0;
		for (long rate : rates) {
			bool clean = true;
			for (const auto &t : res[r.name][rate])
				clean = clean && t.printed == t.sent;
			if (clean && rate > 0)
				best = std::max(best, rate);
		}
		std::vector<double> through, cpu;
		for (const auto &t : res[r.name][0]) {
			through.push_back(
			    static_cast<double>(t.printed) / t.seconds);
			cpu.push_back(t.cpu * 1e6 /
			    static_cast<double>(std::max(1L, t.printed)));
		}
		sat[r.name] = median(through);
		printf("%-14s %14ld %14.0f %14.2f %14.1f\n", r.name.c_str(),
		    best, sat[r.name], median(cpu),
		    per_datagram(s, r, s.quick ? 200 : 1000));
	}
	printf("\nSaturated rate");
	const char *sep = ": ";
	for (const auto &r : s.receivers)
		for (const char *other : {"socat", "nc"})
			if (r.name.rfind("server", 0) == 0 && sat[other] > 0) {
				printf("%s%s / %s %.2f", sep, r.name.c_str(),
				    other, sat[r.name] / sat[other]);
				sep = "; ";
			}
	printf(".\n");
}

// Two senders alternating, five datagrams each: nc follows the first peer
// only.
void second_sender(const setup &s)
{
	printf(
	    "\nTwo senders alternating, 5 datagrams each: lines from each\n\n"
	    "%-14s %6s %6s\n",
	    "receiver", "first", "second");
	for (const auto &r : s.receivers) {
		int port = freeport();
		pid_t pid = spawn(r.at(port), s.out);
		bound(pid, port, 10000);
		udp a, b;
		for (int i = 0; i < 5; i++) {
			a.send("first\n", port);
			usleep(20000);
			b.send("second\n", port);
			usleep(20000);
		}
		usleep(200000);
		stop(pid);
		std::ifstream f(s.out);
		std::map<std::string, long> n;
		for (std::string l; std::getline(f, l);)
			n[l]++;
		printf("%-14s %6ld %6ld\n", r.name.c_str(), n["first"],
		    n["second"]);
	}
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 6 && argc != 8) {
		fprintf(stderr,
		    "usage: bench TOSSGRAM SERVER FLOOR OUTDIR quick|full "
		    "[MUSL-LIBC MUSL-SERVER]\n");
		return 2;
	}
	setup s;
	s.tossgram = argv[1];
	s.floor = argv[3];
	s.dir = argv[4];
	s.quick = std::string(argv[5]) == "quick";
	s.tmp = s.dir + "/strace.tmp";
	s.out = s.dir + "/out.tmp";
	s.payload = s.dir + "/payload.tmp";
	s.receivers = {{"server", {argv[2], "{port}"}}};
	// The routers' libc: the same program built against musl, started
	// through musl's loader.
	if (argc == 8)
		s.receivers.push_back(
		    {"server (musl)", {argv[6], argv[7], "{port}"}});
	s.receivers.push_back(
	    {"socat", {"socat", "-u", "UDP-RECV:{port}", "-"}});
	s.receivers.push_back({"nc", {"nc", "-d", "-n", "-u", "-l", "{port}"}});
	std::ofstream(s.payload, std::ios::binary)
	    << "flarn" << std::string(45, '\0');

	setvbuf(stdout, nullptr, _IOLBF, 0);
	senders(s);
	receivers(s);
	second_sender(s);

	unlink(s.tmp.c_str());
	unlink(s.out.c_str());
	unlink(s.payload.c_str());
	return 0;
}
