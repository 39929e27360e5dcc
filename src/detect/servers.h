// The five known multiplayer servers and the rules that recognise them.
#pragma once

#include <cstdint>
#include <string>

bool isKnownServer(const std::string& text);
std::string findKnownServerId(const std::string& text);
std::string serverFromConnect(const std::string& text);
std::string serverFromEndpoint(std::uint32_t address, std::uint16_t gamePort,
                               std::uint16_t queryPort);
