// Meaning texts of the decoder's status codes.
#include "jpeg/jpeg_decoder.h"

// Returns the meaning of a status code; unknown codes give "unknown status".
const char* JpegStatusText(LONG status)
{
    switch (status) {
    case JPEG_OK: return "no failure";
    case JPEG_HUFFMAN_COUNTS: return "Huffman table code counts over 255 or over-subscribed";
    case JPEG_HUFFMAN_SLOT: return "Huffman table number maps to slot 8 or above";
    case JPEG_DHT_LENGTH: return "DHT segment length below 2 or shorter than its tables";
    case JPEG_DQT_LENGTH: return "DQT segment length below 2";
    case JPEG_DQT_TABLE: return "DQT table number 4 or above";
    case JPEG_PRECISION: return "sample precision other than 8";
    case JPEG_HEIGHT: return "image height 0 or above 8192";
    case JPEG_WIDTH: return "image width 0 or above 8192";
    case JPEG_FRAME_COMPONENTS: return "more than 4 frame components";
    case JPEG_SOF_LENGTH: return "SOF segment length other than 8 + 3 x components";
    case JPEG_SEGMENT_LENGTH: return "skipped segment length below 2";
    case JPEG_DRI_LENGTH: return "DRI segment length other than 4";
    case JPEG_SOS: return "invalid SOS length or components, or a scan that does not fit the frame";
    case JPEG_SCAN_COMPONENT: return "scan names a component the frame does not have";
    case JPEG_ARITHMETIC: return "arithmetic coding is not supported";
    case JPEG_MISPLACED_MARKER: return "marker where none may stand, or EOI before the first scan";
    case JPEG_NO_SOI: return "no start of image";
    case JPEG_UNSUPPORTED_FRAME: return "unsupported frame type";
    case JPEG_DQT_SHORT: return "DQT segment shorter than its tables";
    case JPEG_TOO_MANY_SCANS: return "too many scans in a progressive image";
    case JPEG_NO_SLOT: return "all allocation slots in use";
    case JPEG_NO_QUANT_TABLE: return "quantisation table undefined";
    case JPEG_NO_HUFFMAN_TABLE: return "Huffman table undefined";
    case JPEG_COMPONENT_COUNT: return "component count other than 1 or 3";
    case JPEG_SAMPLING: return "unsupported sampling factors";
    case JPEG_CORRUPT_DATA: return "corrupt entropy-coded data";
    case JPEG_RESTART: return "restart marker missing or out of sequence";
    case JPEG_BLOCK_POSITION: return "coefficient-buffer position outside its buffer";
    case JPEG_SPECTRAL_SELECTION: return "invalid spectral selection in a progressive scan";
    case JPEG_SUCCESSIVE_APPROXIMATION: return "invalid successive approximation in a progressive scan";
    case JPEG_OUTPUT_GEOMETRY: return "output geometry does not fit the image";
    case JPEG_NO_MEMORY: return "out of memory";
    default: return "unknown status";
    }
}
