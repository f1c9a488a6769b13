// Resource and command IDs of the server exe, shared by the resource script and the
// window code.
#pragma once

#define IDI_SERVER 102
#define IDR_MAIN_MENU 103
#define IDS_STR_NOCMDLINE 105

#define IDM_SETUP_COMMS 40002
#define IDM_EXIT 40003
#define IDM_HELP_CONTENTS 40004
#define IDM_ABOUT 40007
#define IDM_COMMAND_LINE 40008
#define IDM_FULL_PRECISION 40014
#define IDM_COMMS_ERROR_DIAG 40017
#define IDM_NORMAL_COMMS_DIAG 40018
#define IDM_CLEAR_SCREEN 40019
#define IDM_SAVE_DIAGNOSTICS 40021
#define IDM_ONLINE 40023
#define IDM_SET_NAMESPACE 40024
