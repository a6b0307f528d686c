// station-presence's broker client given new settings while it runs, against a real mosquitto
// on a free loopback port.
#include "presence_events.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
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

// What the pipeline does once the client says it has (re)connected.
bool resynced(Mqtt &mqtt) {
    const std::vector<Presence> present{{0x0A1B2C3D4E5F, 0xA0, -50, true, 1000, 2000, 1000}};
    const std::vector<Ap> aps{{0xA0, "127.0.0.1", 0, 0, 0, false, false, 1}};
    for (int i = 0; i < 100; ++i) {
        if (mqtt.wantsResync()) {
            mqtt.resync(present, aps);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

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

TEST(Mqtt, NewSettingsReconnectAndPublishEverythingAgain) {
    char folder[] = "/tmp/presence-mqtt-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const int port = freePort();
    std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\n"
                                           << "allow_anonymous true\nlog_dest none\n";
    const pid_t broker = fork();
    if (broker == 0) {
        execlp("mosquitto", "mosquitto", "-c", (dir + "/mosquitto.conf").c_str(), nullptr);
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + "/mosquitto.conf").c_str(), nullptr);
        _exit(127);
    }
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.prefix = "old";
    Mqtt mqtt;
    std::string why;
    for (int i = 0; i < 100 && mqtt.open(settings, why) != 0; ++i) { // until it listens
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(resynced(mqtt)) << why;
    MqttSettings next = settings;
    next.prefix = "new";
    next.username = "new";
    next.passwordFile = dir + "/password";
    std::ofstream(next.passwordFile) << "right\n";
    chmod(next.passwordFile.c_str(), 0644);
    // A password file others may read is refused, and the old connection kept.
    EXPECT_EQ(mqtt.reconfigure(next, why), -1);
    EXPECT_EQ(why, next.passwordFile + ": readable by others; chmod 600 it");
    chmod(next.passwordFile.c_str(), 0600);
    EXPECT_EQ(mqtt.reconfigure(settings, why), 0); // the same: nothing to do
    EXPECT_FALSE(mqtt.wantsResync());
    ASSERT_EQ(mqtt.reconfigure(next, why), 0) << why;
    ASSERT_TRUE(resynced(mqtt));
    mqtt.close();
    EXPECT_EQ(mqtt.unsent(), 0U);
    const std::string command = "mosquitto_sub -p " + std::to_string(port) +
                                " -h 127.0.0.1 -t '#' -v --retained-only -W 2 2>/dev/null";
    FILE *sub = popen(command.c_str(), "r");
    std::string retained;
    for (int ch; sub != nullptr && (ch = std::fgetc(sub)) != EOF;) {
        retained += static_cast<char>(ch);
    }
    pclose(sub);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::system(("rm -rf " + dir).c_str());
    for (const char *line :
         {"old/status offline\n", "new/status offline\n", "new/client/0A1B2C3D4E5F/state home\n",
          "new/ap/0000000000A0/clients 1\n", "homeassistant/device_tracker/new_0A1B2C3D4E5F/",
          "homeassistant/sensor/new_0000000000A0/config"}) {
        EXPECT_NE(retained.find(line), std::string::npos) << line << " in " << retained;
    }
}

} // namespace
