// Identifiers of the launcher's resources, shared by resources.rc and the code.
#pragma once

#define LANTERNIX_ICON 101
#define LANTERNIX_PICTURE_A_BASE 200  // + skin variant 1 to 3
#define LANTERNIX_PICTURE_B_BASE 210  // + skin variant 1 to 3
#define LANTERNIX_PROGRESS_BAR 220

#define LANTERNIX_FAILURE_DIALOG 134
#define LANTERNIX_FAILURE_TEXT 1016
#define LANTERNIX_FAILURE_MESSAGE 1013
#define LANTERNIX_RETRY_BUTTON 1
#define LANTERNIX_MANUAL_BUTTON 1014
#define LANTERNIX_BYPASS_BUTTON 3
