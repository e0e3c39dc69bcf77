// SPDX-License-Identifier: ISC
// Measures tossgram and server side by side with the tools people use
// instead (OpenBSD nc, socat), on loopback only. Driven by bench/run.sh.
//
//   bench TOSSGRAM SERVER FLOOR OUTDIR quick|full [MUSL-LIBC MUSL-SERVER]
//
// With MUSL-LIBC and MUSL-SERVER, server built against musl (the routers'
// libc) is measured beside the glibc build. Writes OUTDIR/results.md,
// OUTDIR/results.csv and OUTDIR/loss.dat.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

using args = std::vector<std::string>;

double now()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt(const char *f, double x)
{
	char b[64];
	snprintf(b, sizeof b, f, x);
	return b;
}

// Starts argv with stdin from in and stdout to out ("" for /dev/null), in a
// process group of its own.
pid_t start(const args &argv, const std::string &in, const std::string &out)
{
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, out.empty() ? "/dev/null" : out.c_str(),
	    O_WRONLY | O_CREAT | O_TRUNC, 0644);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setpgroup(&at, 0);
	std::vector<char *> v;
	for (auto &a : argv)
		v.push_back(const_cast<char *>(a.c_str()));
	v.push_back(nullptr);
	pid_t pid = -1;
	if (posix_spawnp(&pid, v[0], &fa, &at, v.data(), environ) != 0) {
		fprintf(stderr, "bench: cannot start %s\n", v[0]);
		exit(1);
	}
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	return pid;
}

int udpsock(uint32_t addr, int port, int rcvbuf)
{
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (rcvbuf > 0)
		setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(addr);
	a.sin_port = htons(static_cast<uint16_t>(port));
	if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
		perror("bench: bind");
		exit(1);
	}
	return s;
}

int portof(int s)
{
	sockaddr_in a{};
	socklen_t l = sizeof a;
	getsockname(s, reinterpret_cast<sockaddr *>(&a), &l);
	return ntohs(a.sin_port);
}

int freeport()
{
	int s = udpsock(INADDR_ANY, 0, 0);
	int p = portof(s);
	close(s);
	return p;
}

void sendto_port(int s, const std::string &d, int port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	a.sin_port = htons(static_cast<uint16_t>(port));
	sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

// The kernel's view of the UDP socket bound on port: found, receive queue
// in bytes, datagrams it dropped.
struct sockstate {
	bool found = false;
	long rxq = 0, drops = 0;
};

sockstate udpstate(int port)
{
	sockstate st;
	std::ifstream f("/proc/net/udp");
	std::string line;
	std::getline(f, line);
	while (std::getline(f, line)) {
		std::istringstream w(line);
		std::string sl, local, remote, state, queues, tr, retr, uid, timeout, inode,
		    ref, ptr, drops;
		w >> sl >> local >> remote >> state >> queues >> tr >> retr >> uid >>
		    timeout >> inode >> ref >> ptr >> drops;
		if (strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16) != port)
			continue;
		st.found = true;
		st.rxq = strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
		st.drops += atol(drops.c_str());
	}
	return st;
}

// RcvbufErrors of the whole host, from the Udp: lines of /proc/net/snmp.
long rcvbuf_errors()
{
	std::ifstream f("/proc/net/snmp");
	std::string head, vals;
	while (std::getline(f, head)) {
		if (head.rfind("Udp:", 0) != 0 || !std::getline(f, vals))
			continue;
		std::istringstream h(head), v(vals);
		std::string name, val;
		while (h >> name && v >> val)
			if (name == "RcvbufErrors")
				return atol(val.c_str());
	}
	return 0;
}

bool wait_bound(int port, double timeout)
{
	double end = now() + timeout;
	while (!udpstate(port).found) {
		if (now() > end)
			return false;
		usleep(2000);
	}
	return true;
}

// Datagram records printed so far: lines that are not empty.
long records(const std::string &path, std::string *text = nullptr)
{
	std::ifstream f(path, std::ios::binary);
	std::string s((std::istreambuf_iterator<char>(f)), {});
	long n = 0;
	for (size_t i = 0; i < s.size(); i++)
		if (s[i] == '\n' && i > 0 && s[i - 1] != '\n')
			n++;
	if (text != nullptr)
		*text = s;
	return n;
}

// Stops a receiver and returns the CPU seconds it used.
double stop(pid_t pid)
{
	kill(-pid, SIGTERM);
	int st = 0;
	rusage ru{};
	double end = now() + 5;
	while (wait4(pid, &st, WNOHANG, &ru) == 0) {
		if (now() > end) {
			kill(-pid, SIGKILL);
			wait4(pid, &st, 0, &ru);
			break;
		}
		usleep(1000);
	}
	return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
	    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

std::string record(long i)
{
	char b[32];
	snprintf(b, sizeof b, "d%08ld\n", i);
	return b;
}

struct receiver {
	std::string name;
	args argv;  // "{port}" stands for the port
	args at(int port) const
	{
		args a = argv;
		for (auto &w : a) {
			size_t p = w.find("{port}");
			if (p != std::string::npos)
				w.replace(p, 6, std::to_string(port));
		}
		return a;
	}
};

struct trial {
	std::string who;
	long rate = 0;  // 0: unpaced
	long sent = 0, printed = 0, drops = 0, snmp = 0;
	double elapsed = 0, cpu = 0;
};

// Sends n records at rate per second (0: as fast as possible) from one
// socket bound to 127.0.0.1, to a fresh receiver, and counts what became
// of them.
trial run_trial(const receiver &r, long rate, long n, const std::string &out)
{
	trial t;
	t.who = r.name;
	t.rate = rate;
	int port = freeport();
	pid_t pid = start(r.at(port), "", out);
	if (!wait_bound(port, 10)) {
		fprintf(stderr, "bench: %s did not bind\n", r.name.c_str());
		stop(pid);
		return t;
	}
	int s = udpsock(INADDR_LOOPBACK, 0, 0);
	long snmp0 = rcvbuf_errors();
	double t0 = now();
	for (long i = 0; i < n; i++) {
		if (rate > 0) {
			double due = t0 + static_cast<double>(i) / static_cast<double>(rate);
			while (now() < due) {
			}
		}
		sendto_port(s, record(i), port);
	}
	t.sent = n;
	// Drained once the queue is empty and the output has stopped growing.
	long size = -1;
	double changed = now(), end = now() + 20;
	while (now() < end) {
		struct stat sb {};
		stat(out.c_str(), &sb);
		if (sb.st_size != size) {
			size = sb.st_size;
			changed = now();
		}
		if (udpstate(port).rxq == 0 && now() - changed > 0.2)
			break;
		usleep(2000);
	}
	sockstate st = udpstate(port);
	t.drops = st.drops;
	t.snmp = rcvbuf_errors() - snmp0;
	t.cpu = stop(pid);
	t.printed = records(out);
	t.elapsed = changed - t0;
	close(s);
	return t;
}

// The table that strace -c wrote to path, calls by name.
std::map<std::string, double> parse(const std::string &path)
{
	std::map<std::string, double> calls;
	std::ifstream f(path);
	std::string line;
	while (std::getline(f, line)) {
		std::istringstream w(line);
		std::vector<std::string> col;
		for (std::string c; w >> c;)
			col.push_back(c);
		// % time, seconds, usecs/call, calls, [errors,] syscall
		if (col.size() < 5 || col[0].find('.') == std::string::npos)
			continue;
		calls[col.back()] = atof(col[3].c_str());
	}
	return calls;
}

// System calls of one run of argv under strace -f -c, by name.
std::map<std::string, double> syscalls(const args &argv, const std::string &in,
    const std::string &tmp)
{
	args a = {"strace", "-f", "-c", "-o", tmp};
	a.insert(a.end(), argv.begin(), argv.end());
	pid_t pid = start(a, in, "");
	waitpid(pid, nullptr, 0);
	return parse(tmp);
}

// System calls per datagram of a receiver: a run with n datagrams less a
// run with none, over n.
std::map<std::string, double> per_datagram(const receiver &r, long n, const std::string &tmp,
    const std::string &out)
{
	std::map<std::string, double> base, full;
	for (long count : {0L, n}) {
		int port = freeport();
		args a = {"strace", "-f", "-c", "-o", tmp};
		args rv = r.at(port);
		a.insert(a.end(), rv.begin(), rv.end());
		pid_t pid = start(a, "", out);
		wait_bound(port, 10);
		usleep(100000);
		int s = udpsock(INADDR_LOOPBACK, 0, 0);
		for (long i = 0; i < count; i++) {
			sendto_port(s, record(i), port);
			usleep(500);
		}
		double end = now() + 10;
		while (records(out) < count && now() < end)
			usleep(5000);
		close(s);
		// strace blocks the signal for itself, and writes its table
		// once the receiver has ended.
		stop(pid);
		(count == 0 ? base : full) = parse(tmp);
	}
	std::map<std::string, double> per;
	for (auto &[name, calls] : full) {
		double d = (calls - base[name]) / static_cast<double>(n);
		if (d >= 0.05)
			per[name] = d;
	}
	return per;
}

double total(const std::map<std::string, double> &m)
{
	double t = 0;
	for (auto &[name, calls] : m)
		if (name != "total")
			t += calls;
	return t;
}

std::string list(const std::map<std::string, double> &m)
{
	std::string s;
	for (auto &[name, calls] : m)
		if (name != "total")
			s += (s.empty() ? "" : ", ") + name + " " + fmt("%.2g", calls);
	return s;
}

// What every phase works with.
struct setup {
	std::string tossgram, floor, dir;
	std::string tmp, out, payload; // scratch files in dir
	std::vector<receiver> receivers;
	bool quick = false;
};

using results = std::map<std::string, std::map<long, std::vector<trial>>>;

const std::vector<long> rates = {5000, 10000, 20000, 50000, 100000, 200000, 0};

// The trials of one receiver at one rate (none when it was not run).
const std::vector<trial> &trials_of(const results &res, const std::string &who, long rate)
{
	static const std::vector<trial> none;
	auto r = res.find(who);
	if (r == res.end())
		return none;
	auto t = r->second.find(rate);
	return t == r->second.end() ? none : t->second;
}

// Phase 1: one whole sender invocation against the others, interleaved,
// each datagram checked by a listener; then each one's system calls.
void senders(const setup &s, std::ostream &md, std::ostream &csv)
{
	int lsock = udpsock(INADDR_LOOPBACK, 0, 1 << 20);
	int lport = portof(lsock), sport = freeport();
	const std::string lp = std::to_string(lport), sp = std::to_string(sport);
	struct sender {
		std::string name;
		args argv;
		bool sends;
	};
	std::vector<sender> senders = {
	    {"tossgram", {s.tossgram, sp, "127.0.0.1", lp}, true},
	    {"nc", {"nc", "-n", "-u", "-w0", "-p", sp, "127.0.0.1", lp}, true},
	    {"socat", {"socat", "-t0", "-", "UDP-SENDTO:127.0.0.1:" + lp + ",sourceport=" + sp}, true},
	    {"/bin/true", {"/bin/true"}, false},
	    {"floor", {s.floor, sp, lp}, true},
	};
	const int rounds = s.quick ? 40 : 400, warm = s.quick ? 5 : 30;
	std::map<std::string, std::vector<double>> times;
	std::map<std::string, std::vector<double>> ratio; // tossgram / other, per round
	std::map<std::string, int> delivered;
	for (int r = 0; r < warm + rounds; r++) {
		std::map<std::string, double> t;
		for (size_t k = 0; k < senders.size(); k++) {
			const sender &one = senders[(k + static_cast<size_t>(r)) % senders.size()];
			double t0 = now();
			pid_t pid = start(one.argv, one.sends ? s.payload : "", "");
			waitpid(pid, nullptr, 0);
			t[one.name] = now() - t0;
			if (one.sends) {
				pollfd p = {lsock, POLLIN, 0};
				char b[2048];
				if (poll(&p, 1, 1000) > 0 && recv(lsock, b, sizeof b, 0) == 50 &&
				    r >= warm)
					delivered[one.name]++;
			}
		}
		if (r < warm)
			continue;
		for (auto &[name, secs] : t) {
			times[name].push_back(secs * 1e6);
			if (name != "tossgram")
				ratio[name].push_back(t["tossgram"] / secs);
		}
	}

	md << "### Sender: one whole invocation (start, bind, send, exit)\n\n"
	   << "Median of " << rounds << " interleaved rounds; ratio is the median of the "
	   << "per-round ratios tossgram / other.\n\n"
	   << "| sender | µs per invocation | tossgram / this | datagrams arrived | system calls |\n"
	   << "|---|---:|---:|---:|---:|\n";
	for (auto &one : senders) {
		auto calls = syscalls(one.argv, one.sends ? s.payload : "", s.tmp);
		{
			pollfd p = {lsock, POLLIN, 0};
			char b[2048];
			while (poll(&p, 1, 200) > 0)
				recv(lsock, b, sizeof b, 0);
		}
		double m = median(times[one.name]);
		std::string rr = one.name == "tossgram" ? "1" : fmt("%.2f", median(ratio[one.name]));
		std::string arrived = one.sends ? std::to_string(delivered[one.name]) + "/" +
		    std::to_string(rounds) : "-";
		md << "| " << one.name << " | " << fmt("%.0f", m) << " | " << rr << " | "
		   << arrived << " | " << total(calls) << " |\n";
		csv << "sender," << one.name << ",,,,,,,,," << fmt("%.1f", m) << "\n";
		csv << "sender_syscalls," << one.name << ",,,,,,,,," << total(calls) << "\n";
	}
	close(lsock);
}

// Phase 2: every receiver at paced rates and unpaced, interleaved.
results receive(const setup &s, std::ostream &csv)
{
	results res;
	const int trials = s.quick ? 1 : 3;
	for (int k = 0; k < trials; k++)
		for (long rate : rates)
			for (size_t j = 0; j < s.receivers.size(); j++) {
				const receiver &r =
				    s.receivers[(j + static_cast<size_t>(k)) % s.receivers.size()];
				long n = rate == 0 ? (s.quick ? 20000 : 100000)
				    : std::max(4000L, rate * (s.quick ? 1 : 4) / 10);
				trial t = run_trial(r, rate, n, s.out);
				res[r.name][rate].push_back(t);
				csv << "receiver," << t.who << "," << t.rate << "," << k << "," << t.sent
				    << "," << t.printed << "," << t.drops << "," << t.snmp << ","
				    << fmt("%.4f", t.elapsed) << "," << fmt("%.4f", t.cpu) << ",\n";
			}
	return res;
}

// Phase 3: the receivers' table, the data of the loss plot, and each
// receiver's system calls per datagram.
void report(const setup &s, const results &res, std::ostream &md, std::ostream &csv)
{
	md << "\n### Receiver on loopback\n\n"
	   << "Each trial: a fresh receiver, its output to a file, one sender socket on "
	   << "127.0.0.1. Loss is what the kernel dropped at the receive buffer; "
	   << "\"accounted\" checks printed + dropped = sent in every trial.\n\n"
	   << "| receiver | highest zero-loss rate (/s) | saturated (datagrams/s) | "
	   << "µs CPU per datagram (saturated) | system calls per datagram | accounted |\n"
	   << "|---|---:|---:|---:|---:|---|\n";

	std::ofstream dat(s.dir + "/loss.dat");
	dat << "rate";
	for (auto &r : s.receivers)
		dat << " \"" << r.name << "\"";
	dat << "\n";
	for (long rate : rates) {
		if (rate == 0)
			continue;
		dat << rate;
		for (auto &r : s.receivers) {
			std::vector<double> loss;
			for (auto &t : trials_of(res, r.name, rate))
				loss.push_back(100.0 * static_cast<double>(t.sent - t.printed) /
				    static_cast<double>(t.sent));
			dat << " " << fmt("%.3f", median(loss));
		}
		dat << "\n";
	}

	std::map<std::string, double> sat;
	std::map<std::string, std::map<std::string, double>> percall;
	for (auto &r : s.receivers) {
		long best = 0;
		bool accounted = true;
		for (long rate : rates) {
			const auto &ts = trials_of(res, r.name, rate);
			bool clean = !ts.empty();
			for (auto &t : ts) {
				clean = clean && t.drops == 0 && t.printed == t.sent;
				accounted = accounted && t.printed + t.drops == t.sent;
			}
			if (clean && rate > 0)
				best = std::max(best, rate);
		}
		std::vector<double> through, cpu;
		for (auto &t : trials_of(res, r.name, 0)) {
			through.push_back(static_cast<double>(t.printed) / t.elapsed);
			cpu.push_back(t.cpu * 1e6 / static_cast<double>(std::max(1L, t.printed)));
		}
		sat[r.name] = median(through);
		percall[r.name] = per_datagram(r, s.quick ? 200 : 1000, s.tmp, s.out);
		md << "| " << r.name << " | " << best << " | " << fmt("%.0f", sat[r.name]) << " | "
		   << fmt("%.2f", median(cpu)) << " | " << fmt("%.1f", total(percall[r.name]))
		   << " | " << (accounted ? "yes" : "**no: lines lost**") << " |\n";
		csv << "saturated," << r.name << ",,,,,,,,," << fmt("%.0f", sat[r.name]) << "\n";
		csv << "syscalls_per_datagram," << r.name << ",,,,,,,,,"
		    << fmt("%.2f", total(percall[r.name])) << "\n";
	}

	md << "\nSaturated throughput";
	const char *sep = ": ";
	for (auto &r : s.receivers) {
		if (r.name.rfind("server", 0) != 0)
			continue;
		for (const char *other : {"socat", "nc"}) {
			md << sep << r.name << " / " << other << " "
			   << fmt("%.2f", sat[other] > 0 ? sat[r.name] / sat[other] : 0);
			sep = "; ";
		}
	}
	md << ".\n\nSystem calls per datagram, by name:\n\n";
	for (auto &r : s.receivers)
		md << "- " << r.name << ": " << list(percall[r.name]) << "\n";
}

// Phase 4: two senders alternating; nc follows the first peer only.
void two_senders(const setup &s, std::ostream &md)
{
	md << "\n### Two senders, 5 datagrams each, alternating\n\n"
	   << "| receiver | from the first | from the second |\n|---|---:|---:|\n";
	for (auto &r : s.receivers) {
		int port = freeport();
		pid_t pid = start(r.at(port), "", s.out);
		wait_bound(port, 10);
		int a = udpsock(INADDR_LOOPBACK, 0, 0), b = udpsock(INADDR_LOOPBACK, 0, 0);
		for (int i = 0; i < 5; i++) {
			sendto_port(a, "first\n", port);
			usleep(20000);
			sendto_port(b, "second\n", port);
			usleep(20000);
		}
		usleep(200000);
		stop(pid);
		std::string text;
		records(s.out, &text);
		auto count = [&](const std::string &w) {
			long n = 0;
			for (size_t p = text.find(w); p != std::string::npos; p = text.find(w, p + 1))
				n++;
			return n;
		};
		md << "| " << r.name << " | " << count("first") << " | " << count("second")
		   << " |\n";
		close(a);
		close(b);
	}
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 6 && argc != 8) {
		fprintf(stderr, "usage: bench TOSSGRAM SERVER FLOOR OUTDIR quick|full "
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
		s.receivers.push_back({"server (musl)", {argv[6], argv[7], "{port}"}});
	s.receivers.push_back({"socat", {"socat", "-u", "UDP-RECV:{port}", "-"}});
	s.receivers.push_back({"nc", {"nc", "-d", "-n", "-u", "-l", "{port}"}});
	{
		std::ofstream p(s.payload, std::ios::binary);
		p << "flarn" << std::string(45, '\0');
	}
	std::ofstream md(s.dir + "/results.md"), csv(s.dir + "/results.csv");
	csv << "part,who,rate,trial,sent,printed,kernel_drops,snmp_rcvbuf_errors,elapsed_s,"
	       "cpu_s,value\n";

	senders(s, md, csv);
	results res = receive(s, csv);
	report(s, res, md, csv);
	two_senders(s, md);

	unlink(s.tmp.c_str());
	unlink(s.out.c_str());
	unlink(s.payload.c_str());
	return 0;
}
