/* What the binding's units share: one solve's settings and the errors a failed solve raises.

   A method that solves does, in this order:
     1. with the interpreter lock held, on the calling thread:
            zo_solve_config_t *config = zox_config_snapshot();   (NULL: MemoryError is set)
     2. anywhere, the lock released or on a thread of its own (it touches no Python object):
            zo_failure_t failure;
            zo_status_t status = zox_solve(config, input, n, output, &words, err_buf, &failure);
            zo_config_free(config);
     3. with the lock held again, when status is not 0:
            return zox_raise_solve_error(err_buf, &failure);
   The environment is read only in step 1, so Python threads changing os.environ meanwhile do
   not race the solve. */
#ifndef ZOTOOLS_INTERNAL_H
#define ZOTOOLS_INTERNAL_H

#include <Python.h>

#include "../c_library/zo_internal.h"

/* The environment's settings for one solve (kill switch, key, address, bundle, time-out). Needs
   the interpreter lock. NULL with MemoryError set when out of memory. */
zo_solve_config_t *zox_config_snapshot(void);

/* Runs one solve with the settings of `config`; the front door's contract (status, words,
   128-byte error buffer), plus `failure` (may be NULL) filled in when it fails. */
inline zo_status_t zox_solve(const zo_solve_config_t *config, const uint64_t *input,
                             size_t input_length, uint64_t *output, size_t *output_size,
                             char *err_buf, zo_failure_t *failure) {
    return zo_solve(config, input, input_length, output, output_size, err_buf, failure);
}

/* Sets the ConnectionError of a failed solve and returns NULL. Its message is exactly the error
   buffer's text; the details travel as attributes (phase, curl_code, curl_message,
   service_message, not_ready_polls, timed_out) and as an exception note. Prints nothing. */
PyObject *zox_raise_solve_error(const char *err_buf, const zo_failure_t *failure);

/* Sets MemoryError naming the bytes `words` result words need; returns NULL. */
PyObject *zox_result_memory_error(size_t words);

#endif /* ZOTOOLS_INTERNAL_H */
