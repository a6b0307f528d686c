// station-presence's broker client given new settings while it runs, against a real mosquitto
// on a free loopback port.
#include "presence_events.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace presence;

namespace {

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

class Broker : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/presence-mqtt-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        chmod(folder, 0755); // mosquitto started by root reads as its own user
        port_ = freePort();
        ASSERT_EQ(run("mosquitto_passwd -b -c " + folder_ + "/passwords new right"), 0);
        chmod((folder_ + "/passwords").c_str(), 0644);
        std::ofstream(folder_ + "/mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npassword_file " << folder_
            << "/passwords\npersistence false\nlog_dest none\n";
        pid_ = fork();
        if (pid_ == 0) {
            const std::string config = folder_ + "/mosquitto.conf";
            execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char *>(nullptr));
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", config.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        settings_.host = "127.0.0.1";
        settings_.port = port_;
        settings_.prefix = "old";
        for (int i = 0; i < 100 && !accepting(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::string why;
        ASSERT_EQ(mqtt_.open(settings_, why), 0) << why;
    }
    bool accepting() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        const bool up = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        return up;
    }
    void TearDown() override {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        run("rm -rf " + folder_);
    }
    static int run(const std::string &command) { return std::system(command.c_str()); }

    // The retained messages on the broker, topic to payload.
    std::map<std::string, std::string> retained() const {
        std::map<std::string, std::string> out;
        const std::string command = "mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port_) +
                                    " -t '#' -v --retained-only -W 2 2>/dev/null";
        FILE *p = popen(command.c_str(), "r");
        char line[4096];
        while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
            std::string text(line);
            const auto space = text.find(' ');
            out[text.substr(0, space)] = text.substr(space + 1, text.size() - space - 2);
        }
        if (p != nullptr) {
            pclose(p);
        }
        return out;
    }
    // What the pipeline does once the client says it has (re)connected.
    bool resynced() {
        for (int i = 0; i < 100; ++i) {
            if (mqtt_.wantsResync()) {
                mqtt_.resync(present_, aps_);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
    MqttSettings settings_;
    Mqtt mqtt_;
    std::vector<Presence> present_{{0x0A1B2C3D4E5F, 0xA0, -50, true, 1000, 2000, 1000}};
    std::vector<Ap> aps_{{0xA0, "127.0.0.1", 0, 0, 0, false, false, 1}};
};

TEST_F(Broker, NewSettingsReconnectAndPublishEverythingAgain) {
    ASSERT_TRUE(resynced());
    MqttSettings next = settings_;
    next.prefix = "new";
    next.username = "new";
    next.passwordFile = folder_ + "/password";
    std::ofstream(next.passwordFile) << "right\n";
    chmod(next.passwordFile.c_str(), 0644);
    std::string why;
    // A password file others may read is refused, and the old connection kept.
    EXPECT_EQ(mqtt_.reconfigure(next, why), -1);
    EXPECT_EQ(why, next.passwordFile + ": readable by others; chmod 600 it");
    chmod(next.passwordFile.c_str(), 0600);
    EXPECT_EQ(mqtt_.reconfigure(settings_, why), 0); // the same: nothing to do
    EXPECT_FALSE(mqtt_.wantsResync());
    ASSERT_EQ(mqtt_.reconfigure(next, why), 0) << why;
    ASSERT_TRUE(resynced());
    mqtt_.close();
    EXPECT_EQ(mqtt_.unsent(), 0U);
    auto state = retained();
    EXPECT_EQ(state["old/status"], "offline");
    EXPECT_EQ(state["new/status"], "offline"); // closed
    EXPECT_EQ(state["new/client/0A1B2C3D4E5F/state"], "home");
    EXPECT_EQ(state["new/ap/0000000000A0/clients"], "1");
    EXPECT_EQ(state.count("homeassistant/device_tracker/new_0A1B2C3D4E5F/config"), 1U);
    EXPECT_EQ(state.count("homeassistant/sensor/new_0000000000A0/config"), 1U);
}

} // namespace
