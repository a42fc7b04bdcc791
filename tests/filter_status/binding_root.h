// One private root per test process: the filter reads its root prefix once.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "sim_env.h"

inline const std::string &bindingRoot()
{
    static const std::string &root = simenv::privateRoot("fstatus-bind");
    static bool once = [] {
        setenv("HWBRIDGE_SIM_STATE", (root + "/state").c_str(), 1);
        return true;
    }();
    (void)once;
    return root;
}

// Writes the simulated library's state file; every state gets its own run id
// so that call counters start afresh.
inline void writeSimState(const std::string &body)
{
    static int run = 0;
    const std::string &root = bindingRoot();
    simenv::writeFile(root + "/state", "log=" + root + "/calls.log\nrun=" + std::to_string(++run) + "\n" + body);
    std::remove((root + "/calls.log").c_str());
}

inline std::string simCalls()
{
    std::string calls = simenv::readFile(bindingRoot() + "/calls.log");
    EXPECT_EQ(calls.find("unknown state key"), std::string::npos) << calls;
    return calls;
}
