// The staff console's sign-in: what one try costs. The yardstick is the
// SHA-256 of a session's token, which every signed-in page pays; a password
// is checked with Argon2id at libsodium's interactive limits; a refused try
// reads both throttles, the member, checks a hash and counts two failures in
// a SQLite store, as the console does one try at a time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/keys.h"
#include "core/staff.h"
#include "store/store.h"

namespace {

using namespace collector;

void BM_SessionTokenSha256(benchmark::State& state) {
  const std::string token = generateKey();
  for (auto _ : state) benchmark::DoNotOptimize(hashKey(token));
}
BENCHMARK(BM_SessionTokenSha256);

void BM_Argon2idCheck(benchmark::State& state) {
  const std::string hash = hashPassword("a long password");
  for (auto _ : state) benchmark::DoNotOptimize(checkPassword("a wrong password", hash));
}
BENCHMARK(BM_Argon2idCheck)->Unit(benchmark::kMillisecond);

void BM_RefusedSignInThroughTheStore(benchmark::State& state) {
  const std::string path = "/tmp/vorn-bench-staff-" + std::to_string(getpid()) + ".db";
  std::string error;
  auto store = openStore("sqlite:" + path, error);
  if (!store || !store->addStaff("amy", "owner", 0, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::int64_t now = 1, failures = 0, lastMs = 0;
  for (auto _ : state) {
    std::string hash, role;
    bool found = false;
    store->signInFailures("name:amy", 0, failures, lastMs, error);
    store->signInFailures("address:127.0.0.1", 0, failures, lastMs, error);
    store->staffSignIn("amy", hash, role, found, error);
    benchmark::DoNotOptimize(checkPassword("a wrong password", hash));
    store->addSignInFailure("name:amy", ++now, 0, failures, error);
    store->addSignInFailure("address:127.0.0.1", now, 0, failures, error);
  }
  store.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}
BENCHMARK(BM_RefusedSignInThroughTheStore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
