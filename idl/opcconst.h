/*
 * Numeric constants of the OPC DA interfaces that are not types: component category
 * IDs, item property IDs, quality bits, access rights and browse element flags. Plain
 * C (usable from C++) so the native build and the IDL headers share one definition.
 */
#ifndef KV_IDL_OPCCONST_H
#define KV_IDL_OPCCONST_H

#include "platform/win.h"

/* Component categories a DA server registers under, and the server browser's CLSID.
 * static: each translation unit that uses one gets its own copy, no IID library. */
static const GUID CATID_OPCDAServer10 =
    {0x63d5f430, 0xcfe4, 0x11d1, {0xb2, 0xc8, 0x00, 0x60, 0x08, 0x3b, 0xa1, 0xfb}};
static const GUID CATID_OPCDAServer20 =
    {0x63d5f432, 0xcfe4, 0x11d1, {0xb2, 0xc8, 0x00, 0x60, 0x08, 0x3b, 0xa1, 0xfb}};
static const GUID CATID_OPCDAServer30 =
    {0xcc603642, 0x66d7, 0x48f1, {0xb6, 0x9a, 0xb6, 0x25, 0xe7, 0x36, 0x52, 0xd7}};
static const GUID CLSID_OpcServerList =
    {0x13486d51, 0x4821, 0x11d2, {0xa4, 0x94, 0x3c, 0xb3, 0x06, 0xc1, 0x00, 0x00}};

/* Item properties. 1-8 are the OPC-specific ones, 100-199 recommended ones,
 * 300-399 alarm properties, 600-699 the DA 3.0 ones. */
#define OPC_PROPERTY_DATATYPE 1
#define OPC_PROPERTY_VALUE 2
#define OPC_PROPERTY_QUALITY 3
#define OPC_PROPERTY_TIMESTAMP 4
#define OPC_PROPERTY_ACCESS_RIGHTS 5
#define OPC_PROPERTY_SCAN_RATE 6
#define OPC_PROPERTY_EU_TYPE 7
#define OPC_PROPERTY_EU_INFO 8
#define OPC_PROPERTY_EU_UNITS 100
#define OPC_PROPERTY_DESCRIPTION 101
#define OPC_PROPERTY_HIGH_EU 102
#define OPC_PROPERTY_LOW_EU 103
#define OPC_PROPERTY_HIGH_IR 104
#define OPC_PROPERTY_LOW_IR 105
#define OPC_PROPERTY_CLOSE_LABEL 106
#define OPC_PROPERTY_OPEN_LABEL 107
#define OPC_PROPERTY_TIMEZONE 108
#define OPC_PROPERTY_CONDITION_STATUS 300
#define OPC_PROPERTY_ALARM_QUICK_HELP 301
#define OPC_PROPERTY_ALARM_AREA_LIST 302
#define OPC_PROPERTY_PRIMARY_ALARM_AREA 303
#define OPC_PROPERTY_CONDITION_LOGIC 304
#define OPC_PROPERTY_LIMIT_EXCEEDED 305
#define OPC_PROPERTY_DEADBAND 306
#define OPC_PROPERTY_HIHI_LIMIT 307
#define OPC_PROPERTY_HI_LIMIT 308
#define OPC_PROPERTY_LO_LIMIT 309
#define OPC_PROPERTY_LOLO_LIMIT 310
#define OPC_PROPERTY_CHANGE_RATE_LIMIT 311
#define OPC_PROPERTY_DEVIATION_LIMIT 312
#define OPC_PROPERTY_SOUND_FILE 313
#define OPC_PROPERTY_TYPE_SYSTEM_ID 600
#define OPC_PROPERTY_DICTIONARY_ID 601
#define OPC_PROPERTY_TYPE_ID 602
#define OPC_PROPERTY_DICTIONARY 603
#define OPC_PROPERTY_TYPE_DESCRIPTION 604
#define OPC_PROPERTY_CONSISTENCY_WINDOW 605
#define OPC_PROPERTY_WRITE_BEHAVIOR 606
#define OPC_PROPERTY_UNCONVERTED_ITEM_ID 607
#define OPC_PROPERTY_UNFILTERED_ITEM_ID 608
#define OPC_PROPERTY_DATA_FILTER_VALUE 609

/* Quality word: QQSSSSLL (quality, substatus, limit). */
#define OPC_QUALITY_MASK 0xC0
#define OPC_STATUS_MASK 0xFC
#define OPC_LIMIT_MASK 0x03
#define OPC_QUALITY_BAD 0x00
#define OPC_QUALITY_UNCERTAIN 0x40
#define OPC_QUALITY_GOOD 0xC0
#define OPC_QUALITY_CONFIG_ERROR 0x04
#define OPC_QUALITY_NOT_CONNECTED 0x08
#define OPC_QUALITY_DEVICE_FAILURE 0x0C
#define OPC_QUALITY_SENSOR_FAILURE 0x10
#define OPC_QUALITY_LAST_KNOWN 0x14
#define OPC_QUALITY_COMM_FAILURE 0x18
#define OPC_QUALITY_OUT_OF_SERVICE 0x1C
#define OPC_QUALITY_WAITING_FOR_INITIAL_DATA 0x20
#define OPC_QUALITY_LAST_USABLE 0x44
#define OPC_QUALITY_SENSOR_CAL 0x50
#define OPC_QUALITY_EGU_EXCEEDED 0x54
#define OPC_QUALITY_SUB_NORMAL 0x58
#define OPC_QUALITY_LOCAL_OVERRIDE 0xD8
#define OPC_LIMIT_OK 0x00
#define OPC_LIMIT_LOW 0x01
#define OPC_LIMIT_HIGH 0x02
#define OPC_LIMIT_CONST 0x03

/* Access rights of an item (dwAccessRights). */
#define OPC_READABLE 0x1
#define OPC_WRITEABLE 0x2

/* Flags of an OPCBROWSEELEMENT (dwFlagValue). */
#define OPC_BROWSE_HASCHILDREN 0x01
#define OPC_BROWSE_ISITEM 0x02

#endif
