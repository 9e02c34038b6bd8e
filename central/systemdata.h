#pragma once

#include <QList>

#include <string>

class Settings;
class SystemData;

// Channel lists travel as the text of a JSON array of strings ("[\"1\",\"3\"]"); anything else
// decodes to channel 0 per element, or to no channels at all.
QList<int> decodeChannels(const std::string &json);

// Inserts every DVR, stream, IO board and door of data, in packet order, as they are: no
// clearing and no transaction of its own (replaceConfiguration adds both).
void insertConfiguration(Settings &settings, const SystemData &data);

// Replaces the whole stored configuration (DVRs, streams, IO boards, doors) with data, in one
// transaction so that an interruption leaves the previous configuration, never half of each.
void replaceConfiguration(const SystemData &data);
