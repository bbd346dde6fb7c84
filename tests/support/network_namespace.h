#pragma once

// A private network namespace holds only the sockets opened in it, so tests
// and benchmarks see exactly the endpoints they make and nothing leaves the
// machine.
#include <string>

// Enters a new network namespace with lo up, and new namespaces of the kinds
// in `more` (CLONE_NEW* flags) too. Needs root and a process with one thread.
// Empty on success, else what failed and why.
std::string EnterPrivateNetwork(int more = 0);
