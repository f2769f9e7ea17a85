/* The KTZ Monitor client protocol: the request class and types of the
 * messages a client receives from the module (through the host's client
 * dispatch) and the one request a client may send, the capability bits, and
 * the byte offsets of every payload. Every multi-byte payload field is
 * little-endian on the wire. */
#ifndef KTZMON_PROTOCOL_H
#define KTZMON_PROTOCOL_H

#include <stdint.h>

#define KTZMON_REQ_CLASS 3u

/* Request types. */
#define KTZMON_REQ_KTZ_SETTING 0x100u        /* module to client, 8-byte payload, no response */
#define KTZMON_REQ_SENSOR_DATA 0x101u        /* module to client, 41 + name length, no response */
#define KTZMON_REQ_FRU_BY_NUM 0x102u         /* module to client, 264 bytes, no response */
#define KTZMON_REQ_DATA_SYNC_COMPLETE 0x103u /* module to client, no payload, no response */
#define KTZMON_REQ_VQ_LOG_EVT 0x104u         /* module to client, variable, no response */
#define KTZMON_REQ_GET_KTZ_CAPS 0x200u       /* both directions, no payload, 16-byte response */

/* Capability bits. */
#define KTZMON_CAP_BASE 0x1u       /* always set */
#define KTZMON_CAP_VQ_LOG_EVT 0x2u /* chassis log event messages */

/* KTZ setting message (0x100). */
#define KTZMON_KTZ_SETTING_SIZE 8u
#define KTZMON_KTZ_SETTING_OFF_VALUE 0u   /* u32: the setting */
#define KTZMON_KTZ_SETTING_OFF_CHANGED 4u /* u8: 1 when sent because the setting changed */

/* Capability response (0x200). */
#define KTZMON_CAPS_RSP_SIZE 16u
#define KTZMON_CAPS_RSP_OFF_CAPS 0u /* u32 capability mask; bytes 4..15 reserved */

/* Sensor data message (0x101): 41 bytes plus the name length. */
#define KTZMON_SENSOR_DATA_FIXED_SIZE 40u
#define KTZMON_SENSOR_OFF_TYPE 0u         /* u8: 1 fan, 2 temperature, 3 power supply, 4 power redundancy */
#define KTZMON_SENSOR_OFF_PRESENCE 1u     /* u8 */
#define KTZMON_SENSOR_OFF_STATUS 2u       /* u8: 0 unknown, 1 normal, 2 non-critical, 3 critical */
#define KTZMON_SENSOR_OFF_NUM 3u          /* u8: sensor number within its type */
#define KTZMON_SENSOR_OFF_CLASS 4u        /* u8: same as the type */
#define KTZMON_SENSOR_OFF_THR_FLAGS 6u    /* u16: 3 when the thresholds are valid */
#define KTZMON_SENSOR_OFF_READING 8u      /* u32 (temperature: s8 sign-extended; power: bit set) */
#define KTZMON_SENSOR_OFF_NAME_OFFSET 12u /* u32: 40 */
#define KTZMON_SENSOR_OFF_LNC 28u         /* u32: lower non-critical threshold (fans) */
#define KTZMON_SENSOR_OFF_LC 32u          /* u32: lower critical threshold (fans) */
#define KTZMON_SENSOR_OFF_NAME 40u        /* NUL-terminated name */

#define KTZMON_SENSOR_TYPE_FAN 1u
#define KTZMON_SENSOR_TYPE_TEMP 2u
#define KTZMON_SENSOR_TYPE_PWR_SUPPLY 3u
#define KTZMON_SENSOR_TYPE_PWR_RED 4u

/* FRU-by-number message (0x102). */
#define KTZMON_FRU_SIZE 264u
#define KTZMON_FRU_OFF_KIND 0u     /* u8: 1 */
#define KTZMON_FRU_OFF_NUM 1u      /* u8: bay number */
#define KTZMON_FRU_OFF_DATA_LEN 2u /* u16: 256 */
#define KTZMON_FRU_OFF_DATA_OFF 4u /* u32: 8 */
#define KTZMON_FRU_OFF_DATA 8u     /* 256 bytes of raw FRU data */
#define KTZMON_FRU_DATA_SIZE 256u

/* Chassis log event message (0x104). */
#define KTZMON_LOG_EVT_HEADER_SIZE 24u
#define KTZMON_LOG_EVT_OFF_VALUE1 0u    /* u16 */
#define KTZMON_LOG_EVT_OFF_VALUE2 2u    /* u16 */
#define KTZMON_LOG_EVT_OFF_VALUE3 4u    /* u16 */
#define KTZMON_LOG_EVT_OFF_MSGID_OFF 8u /* u32: 24 */
#define KTZMON_LOG_EVT_OFF_ARGS_OFF 12u /* u32: 0 when there is no argument block */
#define KTZMON_LOG_EVT_OFF_ARGS_LEN 16u /* u32 */
#define KTZMON_LOG_EVT_OFF_TEXT_OFF 20u /* u32: 0 when there is no event text */

#endif
