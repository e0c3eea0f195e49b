#include "test_support.h"

LoadedProvider::LoadedProvider() {
    module_ = LoadLibraryW(KSP_DLL_PATH);
    if (module_ == nullptr) {
        ADD_FAILURE() << "LoadLibraryW failed: " << GetLastError();
        return;
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(module_, "GetKeyStorageInterface")));
    if (entry == nullptr) {
        ADD_FAILURE() << "GetKeyStorageInterface not exported";
        return;
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, entry(L"Quorv CSP", &table, 0));
    table_ = table;
}

LoadedProvider::~LoadedProvider() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

std::string Narrow(const std::wstring &text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}
