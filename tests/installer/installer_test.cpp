#include "fake_machine.h"

#include <string>
#include <vector>

namespace {

const char kInstalling[] = "print Installing Quorv KSP...\n";
const char kInstalled[] = "Installing Quorv KSP...\nInstallation successful.\n";
const char kFailed[] = "ERR009: Installation failed\n";
const std::wstring kTarget32 = L"c:\\windows\\system32\\QuorvKSP.dll";
const std::wstring kTarget64 = L"c:\\windows\\sysnative\\QuorvKSP.dll";

const char kQuestionBox[] =
    "box 0x24 [Quorv KSP installation] This will install Quorv KSP. Do you want to continue?";
const char kSuccessBox[] = "box 0x40 [Installation result] The Quorv KSP was successfully installed.";
const char kFailureBox[] = "box 0x10 [Installation result] The Quorv KSP installation was not successful.";

// The complete road of an install on 64-bit Windows: silent removal, copies, registration.
const std::vector<std::string> kFullInstall = {
    "BCryptRemoveContextFunctionProvider 0x1 null 0x10001 KEY_STORAGE Quorv KSP",
    "BCryptUnregisterProvider Quorv KSP",
    "DeleteFileW c:\\windows\\system32\\QuorvKSP.dll",
    "IsWow64Process",
    "DeleteFileW c:\\windows\\sysnative\\QuorvKSP.dll",
    kInstalling,
    "CopyFileW C:\\kit\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll 0",
    "IsWow64Process",
    "CopyFileW C:\\kit\\QUORVKSP64.dll c:\\windows\\sysnative\\QuorvKSP.dll 0",
    "BCryptRegisterProvider Quorv KSP 0x0",
    "BCryptAddContextFunction 0x1 null 0x10001 KEY_STORAGE 0xffffffff",
    "BCryptAddContextFunctionProvider 0x1 null 0x10001 KEY_STORAGE Quorv KSP 0xffffffff",
    "print Installation successful.\n",
};

struct CommandCase {
    std::vector<std::wstring> arguments;
    int exitCode;
    const char *console;
};

TEST_F(InstallerTest, RecognisedCommandsIgnoreCaseOfLettersAndFurtherArguments) {
    const std::string uninstalled = "Uninstalling Quorv KSP...\nUninstallation successful.\n";
    const CommandCase cases[] = {
        {{L"-install"}, 0, kInstalled},
        {{L"-INSTALL"}, 0, kInstalled},
        {{L"-InStAlL", L"-uninstall"}, 0, kInstalled},
        {{L"-uninstall"}, 0, uninstalled.c_str()},
        {{L"-UNINSTALL"}, 0, uninstalled.c_str()},
        {{L"-UnInstall", L"-install", L"x"}, 0, uninstalled.c_str()},
    };
    for (const CommandCase &c : cases) {
        machine = FakeMachine();
        const std::string label = Utf8(c.arguments[0]);
        EXPECT_EQ(c.exitCode, Run(c.arguments)) << label;
        EXPECT_EQ(c.console, machine.Console()) << label;
        EXPECT_TRUE(machine.Entries("box").empty()) << label;
    }
}

TEST_F(InstallerTest, UnrecognisedArgumentsPrintTheArgumentAndTheUsage) {
    const std::wstring arguments[] = {
        L"install", L"/install", L"--install", L"-install ", L"-installx", L"-uninstal", L"",
        L"-\u0130NSTALL",     // capital I with a dot: only A to Z fold
        L"-in\u017Ftall",     // long s, which some case mappings fold to s
        L"-\uFF29NSTALL",     // fullwidth I
        L"-\u00FCninstall",
    };
    for (const std::wstring &argument : arguments) {
        machine = FakeMachine();
        const std::string label = Utf8(argument);
        EXPECT_EQ(1, Run({argument, L"-install"})) << label;
        const std::vector<std::string> expected = {
            "wprint Unrecognized command \"" + label + "\"\n",
            std::string("wprint ") + kUsageText,
        };
        EXPECT_EQ(expected, machine.timeline) << label;
    }
}

TEST_F(InstallerTest, WithoutArgumentsTheQuestionComesFirstAndOnlyYesInstalls) {
    struct Case {
        int answer;
        int exitCode;
        std::vector<std::string> timeline;
    };
    std::vector<std::string> accepted = {kQuestionBox};
    accepted.insert(accepted.end(), kFullInstall.begin(), kFullInstall.end());
    accepted.push_back(kSuccessBox);
    const std::vector<std::string> refused = {kQuestionBox, "print ERR014: Installation aborted.\n",
                                              std::string("print ") + kFailed, kFailureBox};
    const Case cases[] = {
        {IDYES, 0, accepted},
        {IDNO, -1, refused},
        {-1, -1, refused},  // the box could not be shown
        {IDCANCEL, -1, refused},
        {0, -1, refused},
    };
    for (const Case &c : cases) {
        machine = FakeMachine();
        machine.boxAnswer = c.answer;
        EXPECT_EQ(c.exitCode, Run({})) << c.answer;
        EXPECT_EQ(c.timeline, machine.timeline) << c.answer;
    }
}

TEST_F(InstallerTest, WithoutArgumentsAFailedInstallShowsTheFailureBoxAfterTheLines) {
    machine.copyErrors[kTarget32] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(-1, Run({}));
    const std::vector<std::string> tail(machine.timeline.end() - 3, machine.timeline.end());
    const std::vector<std::string> expected = {"print ERR005: Couldn't copy file: 5\n",
                                               std::string("print ") + kFailed, kFailureBox};
    EXPECT_EQ(expected, tail);
    EXPECT_EQ(2u, machine.Entries("box").size());
}

TEST_F(InstallerTest, InstallCallsThePlatformInOrderWithFixedArguments) {
    EXPECT_EQ(0, Run({L"-install"}));
    EXPECT_EQ(kFullInstall, machine.timeline);
}

TEST_F(InstallerTest, RegistrationRecordNamesImageAliasesAndInterface) {
    ASSERT_EQ(0, Run({L"-install"}));
    const RegistrationCopy &reg = machine.registration;
    ASSERT_TRUE(reg.seen);
    EXPECT_EQ(L"Quorv KSP", reg.provider);
    EXPECT_EQ(0u, reg.flags);
    EXPECT_EQ((std::vector<std::wstring>{L"Vandrel RSA Full Provider 1.2", L"Quorv CSP"}), reg.aliases);
    EXPECT_FALSE(reg.hasKernelMode);
    ASSERT_TRUE(reg.hasUserMode);
    EXPECT_EQ(L"QuorvKSP.dll", reg.image);
    EXPECT_EQ(1u, reg.interfaceCount);
    EXPECT_EQ(static_cast<ULONG>(NCRYPT_KEY_STORAGE_INTERFACE), reg.interfaceId);
    EXPECT_EQ(static_cast<ULONG>(CRYPT_LOCAL), reg.interfaceFlags);
    EXPECT_EQ(std::vector<std::wstring>{L"KEY_STORAGE"}, reg.functions);
}

struct FailureCase {
    const char *name;
    void (*arrange)(FakeMachine &);
    const char *line;     // timeline entry of the failure line, kind included
    const char *lastCall;  // the last machine-changing call made before the failure
};

const FailureCase kFailures[] = {
    {"module name", [](FakeMachine &m) { m.moduleNameFails = true; }, "print ERR001: Couldn't get image file name\n",
     kInstalling},
    {"folder from path", [](FakeMachine &m) { m.removeFileSpecFails = true; },
     "print ERR002: Error getting image file name\n", kInstalling},
    {"join 32", [](FakeMachine &m) { m.joinRefusedFor = L"QuorvKSP.dll"; },
     "print ERR003: Error getting image file name\n", kInstalling},
    {"copy 32 not found", [](FakeMachine &m) { m.copyErrors[kTarget32] = ERROR_FILE_NOT_FOUND; },
     "print ERR005: Couldn't copy file: 2\n", "CopyFileW C:\\kit\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll 0"},
    {"copy 32 in use", [](FakeMachine &m) { m.copyErrors[kTarget32] = ERROR_SHARING_VIOLATION; },
     "print ERR005: Couldn't copy file: 20\n", "CopyFileW C:\\kit\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll 0"},
    {"copy 32 large code", [](FakeMachine &m) { m.copyErrors[kTarget32] = 0x8007ABCDu; },
     "print ERR005: Couldn't copy file: 8007abcd\n",
     "CopyFileW C:\\kit\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll 0"},
    {"wow64 query", [](FakeMachine &m) { m.wow64QueryFails = true; }, "print ERR011: Error installing provider\n",
     "IsWow64Process"},
    {"join 64", [](FakeMachine &m) { m.joinRefusedFor = L"QUORVKSP64.dll"; },
     "print ERR012: Error getting image file name\n", "IsWow64Process"},
    {"copy 64", [](FakeMachine &m) { m.copyErrors[kTarget64] = ERROR_FILE_NOT_FOUND; },
     "print ERR013: Couldn't copy file: 2\n",
     "CopyFileW C:\\kit\\QUORVKSP64.dll c:\\windows\\sysnative\\QuorvKSP.dll 0"},
    {"register", [](FakeMachine &m) { m.registerStatus = STATUS_NOT_IMPLEMENTED; },
     "wprint ERR006: BCryptRegisterProvider failed with error code 0xc0000002\n",
     "BCryptRegisterProvider Quorv KSP 0x0"},
    {"register, top bit only", [](FakeMachine &m) { m.registerStatus = static_cast<NTSTATUS>(0x80000000u); },
     "wprint ERR006: BCryptRegisterProvider failed with error code 0x80000000\n",
     "BCryptRegisterProvider Quorv KSP 0x0"},
    {"add function", [](FakeMachine &m) { m.addFunctionStatus = STATUS_ACCESS_DENIED; },
     "wprint ERR007: BCryptAddContextFunction failed with error code 0xc0000022\n",
     "BCryptAddContextFunction 0x1 null 0x10001 KEY_STORAGE 0xffffffff"},
    {"add provider", [](FakeMachine &m) { m.addProviderStatus = static_cast<NTSTATUS>(0x8009000Au); },
     "wprint ERR008: BCryptAddContextFunctionProvider failed with error code 0x8009000a\n",
     "BCryptAddContextFunctionProvider 0x1 null 0x10001 KEY_STORAGE Quorv KSP 0xffffffff"},
};

TEST_F(InstallerTest, EachFailingStepPrintsItsLineThenTheInstallFailureAndUndoesNothing) {
    for (const FailureCase &c : kFailures) {
        machine = FakeMachine();
        c.arrange(machine);
        EXPECT_EQ(-1, Run({L"-install"})) << c.name;
        const std::vector<std::string> &t = machine.timeline;
        ASSERT_GE(t.size(), 3u) << c.name;
        const std::vector<std::string> expectedTail = {c.lastCall, c.line, std::string("print ") + kFailed};
        EXPECT_EQ(expectedTail, std::vector<std::string>(t.end() - 3, t.end())) << c.name;
        // Only the silent removal before "Installing" deletes or unregisters anything.
        bool installing = false;
        for (const std::string &entry : t) {
            installing = installing || entry == kInstalling;
            EXPECT_FALSE(installing && (entry.rfind("DeleteFileW", 0) == 0 || entry.rfind("BCryptUnreg", 0) == 0 ||
                                        entry.rfind("BCryptRemove", 0) == 0))
                << c.name << ": " << entry;
        }
        EXPECT_TRUE(machine.Entries("box").empty()) << c.name;
    }
}

TEST_F(InstallerTest, NonNegativeStatusesCountAsSuccess) {
    machine.registerStatus = 0x00000103;  // STATUS_PENDING
    machine.addFunctionStatus = 0x7FFFFFFF;
    machine.addProviderStatus = 1;
    EXPECT_EQ(0, Run({L"-install"}));
    EXPECT_EQ(kInstalled, machine.Console());
}

TEST_F(InstallerTest, ProgramPathBufferDoublesUntilThePathFits) {
    struct Case {
        std::size_t length;
        std::vector<DWORD> sizes;
    };
    const Case cases[] = {
        {9, {10}},
        {10, {10, 20}},
        {19, {10, 20}},
        {20, {10, 20, 40}},  // a result equal to the size counts as cut
        {25, {10, 20, 40}},
        {300, {10, 20, 40, 80, 160, 320}},
    };
    for (const Case &c : cases) {
        machine = FakeMachine();
        // "C:\" + padding + ".exe": the folder is always C:\.
        machine.programPath = L"C:\\" + std::wstring(c.length - 7, L'p') + L".exe";
        ASSERT_EQ(c.length, machine.programPath.size());
        EXPECT_EQ(0, Run({L"-install"})) << c.length;
        EXPECT_EQ(c.sizes, machine.moduleBufferSizes) << c.length;
        EXPECT_EQ(1u, machine.Entries("CopyFileW C:\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll").size())
            << c.length;
    }
}

TEST_F(InstallerTest, On32BitWindowsOnlyTheSystem32CopyIsMadeAndRemoved) {
    machine.wow64 = false;
    machine.joinRefusedFor = L"QUORVKSP64.dll";  // never asked for
    EXPECT_EQ(0, Run({L"-install"}));
    EXPECT_EQ(kInstalled, machine.Console());
    const std::vector<std::string> copies = {"CopyFileW C:\\kit\\QuorvKSP.dll c:\\windows\\system32\\QuorvKSP.dll 0"};
    EXPECT_EQ(copies, machine.Entries("CopyFileW"));
    const std::vector<std::string> deletes = {"DeleteFileW c:\\windows\\system32\\QuorvKSP.dll"};
    EXPECT_EQ(deletes, machine.Entries("DeleteFileW"));
}

TEST_F(InstallerTest, UninstallTakesProviderOffThenUnregistersThenDeletes) {
    EXPECT_EQ(0, Run({L"-uninstall"}));
    const std::vector<std::string> expected = {
        "print Uninstalling Quorv KSP...\n",
        "BCryptRemoveContextFunctionProvider 0x1 null 0x10001 KEY_STORAGE Quorv KSP",
        "BCryptUnregisterProvider Quorv KSP",
        "DeleteFileW c:\\windows\\system32\\QuorvKSP.dll",
        "IsWow64Process",
        "DeleteFileW c:\\windows\\sysnative\\QuorvKSP.dll",
        "print Uninstallation successful.\n",
    };
    EXPECT_EQ(expected, machine.timeline);
    EXPECT_TRUE(machine.Entries("BCryptAddContextFunction").empty());
}

TEST_F(InstallerTest, UninstallSucceedsWhenNothingIsInstalled) {
    const DWORD absent[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND};
    for (DWORD error : absent) {
        machine = FakeMachine();
        machine.deleteErrors[kTarget32] = error;
        machine.deleteErrors[kTarget64] = error;
        EXPECT_EQ(0, Run({L"-uninstall"})) << error;
        EXPECT_EQ("Uninstalling Quorv KSP...\nUninstallation successful.\n", machine.Console()) << error;
    }
}

TEST_F(InstallerTest, UninstallWithoutWow64OrWithAFailedQueryDeletesOnlySystem32) {
    for (bool queryFails : {false, true}) {
        machine = FakeMachine();
        machine.wow64 = queryFails;  // a failed query must not count even if the flag would be set
        machine.wow64QueryFails = queryFails;
        EXPECT_EQ(1, UninstallProvider(0));
        const std::vector<std::string> deletes = {"DeleteFileW c:\\windows\\system32\\QuorvKSP.dll"};
        EXPECT_EQ(deletes, machine.Entries("DeleteFileW")) << queryFails;
    }
}

TEST_F(InstallerTest, UninstallReportsEveryInstalledFileThatStaysInPlace) {
    machine.deleteErrors[kTarget32] = ERROR_ACCESS_DENIED;
    machine.deleteErrors[kTarget64] = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(-1, Run({L"-uninstall"}));
    EXPECT_EQ("Uninstalling Quorv KSP...\n"
              "ERR015: Couldn't delete file c:\\windows\\system32\\QuorvKSP.dll: 5\n"
              "ERR015: Couldn't delete file c:\\windows\\sysnative\\QuorvKSP.dll: 20\n",
              machine.Console());
    EXPECT_EQ(2u, machine.Entries("wprint ERR015").size());

    machine = FakeMachine();
    machine.deleteErrors[kTarget64] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(-1, Run({L"-uninstall"}));
    EXPECT_EQ("Uninstalling Quorv KSP...\nERR015: Couldn't delete file c:\\windows\\sysnative\\QuorvKSP.dll: 5\n",
              machine.Console());
}

TEST_F(InstallerTest, InstallIgnoresWhatItsSilentRemovalMeets) {
    machine.deleteErrors[kTarget32] = ERROR_ACCESS_DENIED;
    machine.deleteErrors[kTarget64] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run({L"-install"}));
    EXPECT_EQ(kInstalled, machine.Console());
}

}  // namespace
