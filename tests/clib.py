"""ctypes views of the remote client's C records and routines, for tests that call them directly."""
import ctypes
from ctypes import POINTER, c_char_p, c_int, c_int32, c_size_t, c_uint64, c_void_p

REQUEST_ID_SIZE = 2000

# Allocations the routines release or grow must come from the C allocator, and exact-size
# blocks let AddressSanitizer see any read past a piece.
libc = ctypes.CDLL(None)
libc.malloc.restype = c_void_p
libc.malloc.argtypes = [c_size_t]
libc.free.restype = None
libc.free.argtypes = [c_void_p]


class SubmitResponse(ctypes.Structure):
    _fields_ = [("status", c_int32), ("request_id", c_void_p), ("err_str", c_void_p)]


class DownloadBuffer(ctypes.Structure):
    _fields_ = [("memory", c_void_p), ("size", c_size_t)]


class UnpackTarget(ctypes.Structure):
    _fields_ = [("output", POINTER(c_uint64)), ("output_size", POINTER(c_size_t))]


class CurlSlist(ctypes.Structure):
    pass


CurlSlist._fields_ = [("data", c_char_p), ("next", POINTER(CurlSlist))]


def bind(lib):
    """Declares the signatures of the exported routines on `lib` (idempotent)."""
    lib._generate_slist.restype = POINTER(CurlSlist)
    lib._generate_slist.argtypes = [c_int]
    lib.curl_slist_free_all.restype = None
    lib.curl_slist_free_all.argtypes = [POINTER(CurlSlist)]
    lib._generate_curl_data.restype = c_void_p
    lib._generate_curl_data.argtypes = [POINTER(c_uint64), c_size_t]
    lib._curl_ca_location.restype = c_void_p
    lib._curl_ca_location.argtypes = []
    lib._curl_transient_err.restype = c_int
    lib._curl_transient_err.argtypes = [c_int]
    lib._safe_copy_to_err_buff.restype = None
    lib._safe_copy_to_err_buff.argtypes = [c_char_p, c_void_p]
    lib.make_request_write_callback.restype = c_size_t
    lib.make_request_write_callback.argtypes = [c_void_p, c_size_t, c_size_t, POINTER(SubmitResponse)]
    lib.write_memory_callback.restype = c_size_t
    lib.write_memory_callback.argtypes = [c_void_p, c_size_t, c_size_t, POINTER(DownloadBuffer)]
    lib.gunzip.restype = c_int
    lib.gunzip.argtypes = [c_void_p, POINTER(c_size_t), c_void_p, c_size_t]
    lib._unzip_data.restype = c_int
    lib._unzip_data.argtypes = [POINTER(DownloadBuffer), POINTER(UnpackTarget)]
    return lib


class CBytes:
    """Exactly len(data) bytes (at least one) from malloc, without a terminator."""

    def __init__(self, data: bytes):
        self.size = len(data)
        self.ptr = libc.malloc(max(self.size, 1))
        ctypes.memmove(self.ptr, data, self.size)

    def read(self):
        return ctypes.string_at(self.ptr, self.size)

    def release(self):
        libc.free(self.ptr)
        self.ptr = None


def take_c_string(ptr):
    """Reads a malloc'ed C text and frees it; None for NULL."""
    if not ptr:
        return None
    try:
        return ctypes.string_at(ptr)
    finally:
        libc.free(ptr)
