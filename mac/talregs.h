// The card's register window, command codes, event bits and result codes
// as the driver uses them. Every register is 16 bits wide at IoBaseAddrR
// plus an even offset.
#pragma once

// ---- Register offsets ----
#define TAL_REG_COMMAND 0x00    // bit 15: busy
#define TAL_REG_PARAM0 0x02     // also auxiliary access code word 0
#define TAL_REG_PARAM1 0x04     // also auxiliary access code word 1
#define TAL_REG_PARAM2 0x06     // also auxiliary access code word 2
#define TAL_REG_STATUS 0x08     // bits 8-14: result of the last command
#define TAL_REG_RESP0 0x0A      // value of the register-read command
#define TAL_REG_INFOFID 0x10    // FID of the pending information frame
#define TAL_REG_CONTROL 0x14    // bits 15,14: auxiliary port state
#define TAL_REG_SELECT0 0x18    // path 0 (reads): FID or RID
#define TAL_REG_SELECT1 0x1A    // path 1 (writes): FID or RID
#define TAL_REG_OFFSET0 0x1C    // path 0 byte offset; bit 15: busy
#define TAL_REG_OFFSET1 0x1E    // path 1 byte offset; bit 15: busy
#define TAL_REG_RXFID 0x20      // FID of the received frame
#define TAL_REG_ALLOCFID 0x22   // FID given by the allocate command
#define TAL_REG_TXCOMPLFID 0x24 // read on event 0x0004
#define TAL_REG_EVSTAT 0x30     // pending events
#define TAL_REG_INTEN 0x32      // interrupt enable
#define TAL_REG_EVACK 0x34      // event acknowledge
#define TAL_REG_DATA0 0x36      // path 0 data
#define TAL_REG_DATA1 0x38      // path 1 data
#define TAL_REG_AUXPAGE 0x3A    // auxiliary address >> 7
#define TAL_REG_AUXOFFSET 0x3C  // auxiliary address & 0x7F
#define TAL_REG_AUXDATA 0x3E    // auxiliary data, auto-advancing
#define TAL_PORT_COUNT 0x40     // ports in the window

#define TAL_BUSY 0x8000 // busy bit of the command and offset registers

// ---- Auxiliary port (a window into the card's memory) ----
// Control register: bits 15 and 14 both set = enabled, both clear =
// disabled; a request is written with the access code in parameters 0-2.
#define TAL_CONTROL_AUX_MASK 0xC000
#define TAL_CONTROL_AUX_ENABLED 0xC000
#define TAL_CONTROL_AUX_DISABLED 0x0000
#define TAL_CONTROL_AUX_ENABLE 0x8000  // request: enable the port
#define TAL_CONTROL_AUX_DISABLE 0x4000 // request: disable the port
#define TAL_AUX_KEY0 0x3A7C            // access code, parameter 0
#define TAL_AUX_KEY1 0x9D36            // access code, parameter 1
#define TAL_AUX_KEY2 0xE25A            // access code, parameter 2
#define TAL_AUX_PAGE_SHIFT 7           // page register = address >> 7
#define TAL_AUX_OFFSET_MASK 0x7F       // offset register = address & 0x7F
#define TAL_PDA_ADDRESS 0x390000UL     // production data area (page 0x7200, offset 0)

// ---- Event bits (status, enable and acknowledge registers) ----
#define TAL_EV_RX 0x0001
#define TAL_EV_0002 0x0002
#define TAL_EV_TXEXC 0x0004
#define TAL_EV_ALLOC 0x0008
#define TAL_EV_CMD 0x0010
#define TAL_EV_INFO 0x0080
#define TAL_EV_2000 0x2000
#define TAL_EV_8000 0x8000
#define TAL_EV_ALL 0xFFFF
#define TAL_INTEN_NONE 0x0000
#define TAL_INTEN_RUN 0x2089 // receive, allocate, information, 0x2000

// ---- Command codes ----
#define TAL_CMD_INITIALIZE 0x0000
#define TAL_CMD_ENABLE 0x0001
#define TAL_CMD_DISABLE 0x0002
#define TAL_CMD_DIAG 0x0003
#define TAL_CMD_ALLOCATE 0x000A
#define TAL_CMD_TRANSMIT 0x000B
#define TAL_CMD_TRANSMIT_RECLAIM 0x010B
#define TAL_CMD_NOTIFY 0x0010
#define TAL_CMD_INQUIRE 0x0011
#define TAL_CMD_ACCESS_READ 0x0021
#define TAL_CMD_ACCESS_WRITE 0x0121
#define TAL_CMD_DOWNLOAD 0x0022 // download command; the mode is the high byte
#define TAL_DLMODE_END 0x0000   // leave download mode
#define TAL_DLMODE_OPEN 0x0200  // announce a block: p0/p1 address, p2 bytes
#define TAL_DLMODE_CLOSE 0x0300 // commit the block written since the announcement
#define TAL_CMD_DOWNLOAD_END 0x0022
#define TAL_CMD_DOWNLOAD_0122 0x0122
#define TAL_CMD_DOWNLOAD_OPEN 0x0222
#define TAL_CMD_DOWNLOAD_CLOSE 0x0322
#define TAL_CMD_READ_MIF 0x0030
#define TAL_CMD_WRITE_MIF 0x0031
#define TAL_CMD_TEST 0x0038 // test command; the test code is in the high byte
#define TAL_TEST_MONITOR_ON 0x0B
#define TAL_TEST_MONITOR_OFF 0x0F

#define TAL_TXBUF_SIZE 0x093C // bytes asked of the allocate command

// ---- Result codes ----
#define TAL_RESULT_OK 0x0000
#define TAL_RESULT_TIMEOUT 0x007F
#define TAL_STATUS_RESULT_MASK 0x7F00
