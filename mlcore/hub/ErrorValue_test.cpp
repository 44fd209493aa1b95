#include "mlcore/hub/ErrorValue.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mlcore/hub/Downloader.h"
#include "mlcore/hub/HubApi.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"

namespace celvan {
namespace {

struct NotAnException {};

template <class Error>
bool holds(const std::exception_ptr& error, const std::function<bool(const Error&)>& check) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return check(e);
    } catch (...) {
        return false;
    }
}

TEST(ErrorValue, EveryReaderGetsItsOwnErrorOfTheSameTypeAndMessage) {
    const platform::URLError lost(platform::URLError::Code::networkConnectionLost, "http://h/f", "reset");
    const auto integrity = HubApi::EnvironmentError::fileIntegrityError("Hash mismatch for f");
    struct Case {
        std::exception_ptr thrown;
        std::function<bool(const std::exception_ptr&)> check;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(lost),
         [&](const auto& e) {
             return holds<platform::URLError>(e, [&](const platform::URLError& error) {
                 return error.code() == lost.code() && std::string(error.what()) == lost.what();
             });
         }},
        {std::make_exception_ptr(integrity),
         [&](const auto& e) {
             return holds<HubApi::EnvironmentError>(e, [&](const HubApi::EnvironmentError& error) {
                 return error.kind() == integrity.kind() && std::string(error.what()) == integrity.what();
             });
         }},
        {std::make_exception_ptr(platform::FileSystemError("write", "/f", std::make_error_code(std::errc::no_space_on_device))),
         [](const auto& e) {
             return holds<platform::FileSystemError>(e, [](const platform::FileSystemError&) { return true; });
         }},
        {std::make_exception_ptr(std::out_of_range("past the end")),
         [](const auto& e) {
             return holds<std::logic_error>(e, [](const std::logic_error& error) {
                 return std::string(error.what()) == "past the end";
             });
         }},
        {std::make_exception_ptr(NotAnException{}),
         [](const auto& e) {
             return holds<Downloader::DownloadError>(e, [](const Downloader::DownloadError& error) {
                 return error.kind() == Downloader::DownloadError::Kind::unexpectedError;
             });
         }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ErrorValue value = ErrorValue::capture(cases[i].thrown);
        std::exception_ptr elsewhere;
        std::thread([&] { elsewhere = value.exception(); }).join();
        const std::exception_ptr here = value.exception();
        EXPECT_TRUE(cases[i].check(here)) << i;
        EXPECT_TRUE(cases[i].check(elsewhere)) << i;
        EXPECT_NE(here, elsewhere) << i;
    }
    EXPECT_EQ(ErrorValue().exception(), nullptr);
}

}  // namespace
}  // namespace celvan
