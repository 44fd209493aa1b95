#include "mlcore/hub/ErrorValue.h"

#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

#include "mlcore/hub/Downloader.h"
#include "mlcore/hub/Hub.h"
#include "mlcore/hub/HubApi.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"

namespace celvan {

// Most derived types first: a handler for a base would slice the error.
ErrorValue ErrorValue::capture(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::URLError& e) {
        return of(e);
    } catch (const platform::CancellationError& e) {
        return of(e);
    } catch (const platform::FileSystemError& e) {
        return of(e);
    } catch (const Downloader::DownloadError& e) {
        return of(e);
    } catch (const HubApi::EnvironmentError& e) {
        return of(e);
    } catch (const Hub::HubClientError& e) {
        return of(e);
    } catch (const std::filesystem::filesystem_error& e) {
        return of(e);
    } catch (const std::system_error& e) {
        return of(e);
    } catch (const std::bad_alloc& e) {
        return of(e);
    } catch (const std::logic_error& e) {
        return of(std::logic_error(e.what()));
    } catch (const std::exception& e) {
        return of(std::runtime_error(e.what()));
    } catch (...) {
        return of(Downloader::DownloadError(Downloader::DownloadError::Kind::unexpectedError));
    }
}

std::exception_ptr ErrorValue::exception() const { return make_ ? (*make_)() : std::exception_ptr(); }

}  // namespace celvan
