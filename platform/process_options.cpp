// The option checks of process_options.h.
#include "platform/process_options.h"

int process_options_plain(const ProcessOptions& options)
{
    const int input_plain =
        options.standard_input == PROCESS_STDIO_INHERIT || options.standard_input == PROCESS_STDIO_NULL;
    const int output_plain = options.standard_output == PROCESS_STDIO_INHERIT ||
                             options.standard_output == PROCESS_STDIO_NULL ||
                             options.standard_output == PROCESS_STDIO_STDERR;
    return input_plain && output_plain && options.standard_error == PROCESS_STDIO_INHERIT &&
           options.standard_output_path == nullptr && options.standard_error_path == nullptr &&
           options.working_folder == nullptr;
}

int process_options_argv_valid(const ProcessOptions& options)
{
    const int input_valid = options.standard_input == PROCESS_STDIO_INHERIT ||
                            options.standard_input == PROCESS_STDIO_NULL ||
                            options.standard_input == PROCESS_STDIO_PIPE;
    const int output_valid = options.standard_output == PROCESS_STDIO_INHERIT ||
                             options.standard_output == PROCESS_STDIO_NULL ||
                             options.standard_output == PROCESS_STDIO_STDERR ||
                             options.standard_output == PROCESS_STDIO_FILE;
    const int error_valid = options.standard_error == PROCESS_STDIO_INHERIT ||
                            options.standard_error == PROCESS_STDIO_NULL ||
                            options.standard_error == PROCESS_STDIO_FILE;
    // A path goes with a file and a file needs one.
    const int output_path_matches =
        (options.standard_output == PROCESS_STDIO_FILE) == (options.standard_output_path != nullptr);
    const int error_path_matches =
        (options.standard_error == PROCESS_STDIO_FILE) == (options.standard_error_path != nullptr);
    return input_valid && output_valid && error_valid && output_path_matches && error_path_matches &&
           options.port_device == nullptr;
}
