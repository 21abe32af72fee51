#pragma once

// Resource identifiers shared by tolvin.rc and the code that uses them.
#define IDD_SWITCH_SERVER 101
#define IDC_ADDRESS 1001
#define IDC_PROBLEM 1002
