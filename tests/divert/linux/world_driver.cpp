// A small program over the Linux world for the system tests and scripts/lab.sh: starts the
// world, opens the handles asked for, passes every diverted packet back and stops cleanly
// on SIGINT/SIGTERM.
//
//   divert_linux_world_driver [--table NAME] [--first-queue Q] [--queues N] [--fail-closed]
//                             [--grace-ms N] [--pass FILTER] [--drop FILTER] [--flow]
//
// --pass opens a diverting handle whose packets are sent back unchanged (one thread per
// queue); --drop opens a DROP handle; --flow prints each flow event as
// "FLOW ESTABLISHED|DELETED <local>:<port> <remote>:<port> in|out". Prints "ready" once the
// table is installed, and the losses at exit. Exit codes: 0 stopped by a signal, 2 bad
// arguments or start failure, 4 no root / CAP_NET_ADMIN.
#include <arpa/inet.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "divert/linux/LinuxWorld.h"
#include "windivert.h"

using divert::linuxworld::LinuxWorld;
using divert::linuxworld::LinuxWorldOptions;
using divert::linuxworld::StartError;

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) {
    stopRequested.store(true);
}

std::string Ipv4Text(uint32_t hostOrder) {
    in_addr a{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

void PassLoop(HANDLE h) {
    std::vector<uint8_t> buffer(64 * 1600);
    std::vector<WINDIVERT_ADDRESS> addresses(64);
    for (;;) {
        UINT length = 0,
             addrLength = static_cast<UINT>(addresses.size() * sizeof(WINDIVERT_ADDRESS));
        if (!WinDivertRecvEx(h, buffer.data(), static_cast<UINT>(buffer.size()), &length, 0,
                             addresses.data(), &addrLength, nullptr)) {
            if (GetLastError() == ERROR_NO_DATA || GetLastError() == ERROR_INVALID_HANDLE ||
                GetLastError() == ERROR_OPERATION_ABORTED)
                return;
            continue;
        }
        WinDivertSendEx(h, buffer.data(), length, nullptr, 0, addresses.data(), addrLength,
                        nullptr);
    }
}

void FlowLoop(HANDLE h) {
    WINDIVERT_ADDRESS a;
    while (WinDivertRecv(h, nullptr, 0, nullptr, &a)) {
        std::printf("FLOW %s %s:%u %s:%u %s\n",
                    a.Event == WINDIVERT_EVENT_FLOW_ESTABLISHED ? "ESTABLISHED" : "DELETED",
                    Ipv4Text(a.Flow.LocalAddr[0]).c_str(), a.Flow.LocalPort,
                    Ipv4Text(a.Flow.RemoteAddr[0]).c_str(), a.Flow.RemotePort,
                    a.Outbound ? "out" : "in");
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    LinuxWorldOptions options;
    std::vector<std::string> pass, drop;
    bool flow = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--table" && hasValue) {
            options.table = argv[++i];
        } else if (arg == "--first-queue" && hasValue) {
            options.firstQueue = static_cast<uint16_t>(std::atoi(argv[++i]));
        } else if (arg == "--queues" && hasValue) {
            options.queueCount = static_cast<uint16_t>(std::atoi(argv[++i]));
        } else if (arg == "--grace-ms" && hasValue) {
            options.graceNs = std::atoll(argv[++i]) * 1'000'000;
        } else if (arg == "--fail-closed") {
            options.failOpen = false;
        } else if (arg == "--pass" && hasValue) {
            pass.push_back(argv[++i]);
        } else if (arg == "--drop" && hasValue) {
            drop.push_back(argv[++i]);
        } else if (arg == "--flow") {
            flow = true;
        } else {
            std::fprintf(stderr, "unknown or incomplete argument: %s\n", arg.c_str());
            return 2;
        }
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    auto world = std::make_shared<LinuxWorld>(options);
    std::string error;
    const StartError started = world->Start(&error);
    if (started != StartError::None) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return started == StartError::NoPrivilege ? 4 : 2;
    }

    std::vector<HANDLE> handles;
    std::vector<std::thread> threads;
    INT16 priority = 0;
    for (const auto& filter : drop) {
        HANDLE h =
            WinDivertOpen(filter.c_str(), WINDIVERT_LAYER_NETWORK, priority--, WINDIVERT_FLAG_DROP);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "opening \"%s\" failed: %lu\n", filter.c_str(),
                         static_cast<unsigned long>(GetLastError()));
            world->Stop();
            return 2;
        }
        handles.push_back(h);
    }
    for (const auto& filter : pass) {
        HANDLE h = WinDivertOpen(filter.c_str(), WINDIVERT_LAYER_NETWORK, priority--, 0);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "opening \"%s\" failed: %lu\n", filter.c_str(),
                         static_cast<unsigned long>(GetLastError()));
            world->Stop();
            return 2;
        }
        handles.push_back(h);
        for (uint16_t q = 0; q < options.queueCount; ++q)
            threads.emplace_back(PassLoop, h);
    }
    if (flow) {
        HANDLE h = WinDivertOpen("tcp", WINDIVERT_LAYER_FLOW, 0,
                                 WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY);
        handles.push_back(h);
        threads.emplace_back(FlowLoop, h);
    }
    // The housekeeping installs the rules the handles need within a round or two.
    while (world->WantedState() != world->InstalledState() && !stopRequested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("ready\n");
    std::fflush(stdout);

    while (!stopRequested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (HANDLE h : handles)
        WinDivertShutdown(h, WINDIVERT_SHUTDOWN_BOTH);
    for (auto& t : threads)
        t.join();
    for (HANDLE h : handles)
        WinDivertClose(h);
    world->Stop();
    const auto losses = world->Losses();
    std::printf("losses kernel=%llu socket=%llu expired=%llu closed=%llu\n",
                static_cast<unsigned long long>(losses.kernelDropped),
                static_cast<unsigned long long>(losses.socketDropped),
                static_cast<unsigned long long>(losses.heldExpired),
                static_cast<unsigned long long>(losses.heldAtClose));
    return 0;
}
