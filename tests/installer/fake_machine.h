// A scripted stand-in for the platform behind the installer's seam: it answers each call as a test
// configures it and records, in one timeline, every call that acts on the machine, every console
// line and every message box.
#pragma once

#include "installer.h"
#include "installer_platform.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

struct RegistrationCopy {
    bool seen = false;
    std::wstring provider;
    ULONG flags = 0xFFFFFFFF;
    std::vector<std::wstring> aliases;
    bool hasUserMode = false;
    bool hasKernelMode = true;
    std::wstring image;
    ULONG interfaceCount = 0;
    ULONG interfaceId = 0;
    ULONG interfaceFlags = 0;
    std::vector<std::wstring> functions;
};

struct FakeMachine {
    // How the platform answers.
    std::wstring programPath = L"C:\\kit\\Installer.exe";
    bool moduleNameFails = false;
    bool removeFileSpecFails = false;
    std::wstring joinRefusedFor;               // file name whose PathCombineW fails
    std::map<std::wstring, DWORD> copyErrors;  // by target path
    std::map<std::wstring, DWORD> deleteErrors;  // by target path; others delete fine
    bool wow64 = true;
    bool wow64QueryFails = false;
    NTSTATUS registerStatus = 0;
    NTSTATUS addFunctionStatus = 0;
    NTSTATUS addProviderStatus = 0;
    int boxAnswer = IDYES;

    // What happened, in order: "print ..." (byte line), "wprint ..." (wide line), "box ...", and the
    // calls that act on the machine.
    std::vector<std::string> timeline;
    std::vector<DWORD> moduleBufferSizes;
    RegistrationCopy registration;
    DWORD lastError = 0;

    // Console text alone, both kinds, in order.
    std::string Console() const;
    // Timeline entries that start with the prefix.
    std::vector<std::string> Entries(const std::string &prefix) const;
};

// Points the seam at a FakeMachine for the life of the test, then restores the real platform.
class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    int Run(std::vector<std::wstring> arguments);

    FakeMachine machine;

private:
    InstallerApi saved_{};
};

std::string Utf8(const std::wstring &text);

// The usage text after the "Unrecognized command" line.
extern const char kUsageText[];
