// Resource identifiers shared by the code and the resource script.
#pragma once

#define IDI_APP 101
#define IDD_UNINSTALL 102
#define IDC_PROGRESS 1000
