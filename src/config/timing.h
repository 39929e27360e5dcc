// The one place that sets how fast the plug-in's waits run.
//
// A release compiles every wait as it stands: reports every
// SendIntervalSeconds, a post given up after 15 s, shutdown's second of grace.
// The system tests' quick library (the CMake target VORN_Davida_Client_quick,
// which no package takes) is compiled with VORN_TEST_TIME_DIVISOR, and every
// wait below is that many times shorter, so that a test need not wait out real
// report intervals and deadlines. What the waits count (a report's seconds and
// miles) comes from the game and is the same in both.
#pragma once

#ifndef VORN_TEST_TIME_DIVISOR
#define VORN_TEST_TIME_DIVISOR 1
#endif

constexpr unsigned timeDivisor = VORN_TEST_TIME_DIVISOR;
static_assert(timeDivisor >= 1 && 1000 % timeDivisor == 0 && 50 % timeDivisor == 0,
              "every wait must stay a whole number of milliseconds");

// A wall-clock wait of `milliseconds` as this build runs it.
constexpr unsigned waitMilliseconds(unsigned milliseconds) { return milliseconds / timeDivisor; }
