// SPDX-License-Identifier: MIT
// A run's rows as a JUnit report, for a CI system to show.
#pragma once

#include <string>
#include <vector>

#include "gate.h"

// Writes `rows` to `path`: one test suite, named after the program, of
// `seconds`; a test case for each row, named after its command(s), with a
// failure for each requirement it missed, an error when its flood failed,
// and its figures as properties. Returns "" or why it could not.
std::string write_junit(const std::string &path, const std::vector<judged_row> &rows, bool search,
                        double seconds);
