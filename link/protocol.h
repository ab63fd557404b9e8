// Constants of the widget's packet protocol.
#ifndef LUMORA_PROTOCOL_H
#define LUMORA_PROTOCOL_H

enum : unsigned char {
    PACKET_START = 0x7E,
    PACKET_END = 0xE7
};

enum {
    REPROGRAM_FIRMWARE = 1,
    PROGRAM_FLASH_PAGE = 2,
    GET_WIDGET_PARAMS = 3,
    GET_WIDGET_PARAMS_REPLY = 3,
    GET_WIDGET_SERIAL = 10
};

constexpr int MAX_PAYLOAD_SIZE = 512;
constexpr int RECEIVE_BUFFER_SIZE = 600;

constexpr int FIRMWARE_HEADER_SIZE = 255;
constexpr int FLASH_PAGE_SIZE = 256;
constexpr unsigned char FLASH_PAGE_OK = 'T';

// Widget timing bytes count in units of 10.67 microseconds.
constexpr double TIMING_UNIT_US = 10.67;

#endif
