// Persistent-store, build-id and reset commands.
#include "bccmd/chip_commands.h"

#include <new>
#include <type_traits>

// The request is handed to the BCCMD layer as its run of words.
static_assert(std::is_standard_layout_v<PsKeyRequest>);
static_assert(sizeof(PsKeyRequest) == sizeof(std::uint16_t) * (PS_KEY_REQUEST_HEADER_WORDS + PS_KEY_MAX_VALUE_WORDS));

namespace {

int ps_key_count_valid(int n)
{
    return n >= PS_KEY_MIN_VALUE_WORDS && n <= PS_KEY_MAX_VALUE_WORDS ? 1 : 0;
}

// One zeroed request on the heap (null when memory is short). Zeroed so that
// a read request's value words go out as 0 rather than as whatever the heap
// held.
PsKeyRequest* ps_key_request_new(std::uint16_t key, int n)
{
    PsKeyRequest* request = new (std::nothrow) PsKeyRequest();
    if (request != nullptr) {
        request->key = key;
        request->length = static_cast<std::uint16_t>(n);
        request->stores = 0;
    }
    return request;
}

// A request refused before anything is allocated or sent (a count outside
// 1 to PS_KEY_MAX_VALUE_WORDS, no words, or no memory).
int ps_refuse(BccmdResult* result)
{
    if (result != nullptr) {
        *result = {BCCMD_FAILURE_REFUSED, VARID_PS, 0, 0};
    }
    return 0;
}

const std::uint16_t* ps_key_request_words(const PsKeyRequest* request)
{
    return reinterpret_cast<const std::uint16_t*>(request);
}

}  // namespace

int ps_read(std::uint16_t key, int n, std::uint16_t* out, BccmdResult* result_out)
{
    if (!ps_key_count_valid(n) || out == nullptr) {
        return ps_refuse(result_out);
    }
    PsKeyRequest* request = ps_key_request_new(key, n);
    if (request == nullptr) {
        return ps_refuse(result_out);
    }
    // The answer's key, length, stores and values land over the request; the
    // returned key and length are not compared with the request's.
    int result = bccmd_request(VARID_PS, 0, ps_key_request_words(request), result_out) &&
                 bccmd_get_response(VARID_PS, PS_KEY_REQUEST_HEADER_WORDS + n, reinterpret_cast<std::uint16_t*>(request),
                                    result_out);
    if (result) {
        for (int word = 0; word < n; ++word) {
            out[word] = request->values[word];
        }
    }
    delete request;
    return result ? 1 : 0;
}

int ps_write(std::uint16_t key, int n, const std::uint16_t* values, BccmdResult* result_out)
{
    if (!ps_key_count_valid(n) || values == nullptr) {
        return ps_refuse(result_out);
    }
    PsKeyRequest* request = ps_key_request_new(key, n);
    if (request == nullptr) {
        return ps_refuse(result_out);
    }
    for (int word = 0; word < n; ++word) {
        request->values[word] = values[word];
    }
    const int result = bccmd_request(VARID_PS, 1, ps_key_request_words(request), result_out) &&
                       bccmd_get_response(VARID_PS, 0, nullptr, result_out);
    delete request;
    return result ? 1 : 0;
}

int read_build_id(std::uint16_t* out, BccmdResult* result)
{
    if (!bccmd_request(VARID_BUILD_ID, 0, nullptr, result)) {
        return 0;
    }
    return bccmd_get_response(VARID_BUILD_ID, 1, out, result);
}

int cold_reset(BccmdResult* result)
{
    return bccmd_request(VARID_COLD_RESET, 1, nullptr, result);
}

int ps_defrag_reset(BccmdResult* result)
{
    return bccmd_request(VARID_PS_DEFRAG_RESET, 1, nullptr, result);
}
