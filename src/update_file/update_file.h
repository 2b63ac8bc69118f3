// UpdateFile: reads the program's own file by its layout. Holds the open file, the in-memory FLASH
// image and the EEPROM bytes for the whole run; every failure prints its message and ends the run.
#pragma once

#include <cstdint>

namespace update_file {

// Opens path in binary mode, checks the file's length and the payload's digest (when the file
// records one), and reads the three header tokens; the file stays open for the rest of the run.
// Messages name the file as shown_path. Ends the run if the file cannot be opened (with the
// system's reason), its length is not the expected one, or the digest does not match.
void read_payload_header(const char* path, const char* shown_path);

// The file's length and its payload's SHA-256 (zeros where it could not be computed), from
// read_payload_header.
long length();
const uint8_t (&payload_sha256())[32];

// Header fields; empty until read_payload_header.
const char* device_name();
const char* version();
const char* year();

// Loads the FLASH image and the EEPROM bytes from the open file into memory. Ends the run if it
// cannot allocate or read them whole.
void load_image();

// Checks the 500 record checksums; prints "Checksum test OK" or ends the run at the first mismatch.
void verify_image();

// FLASH data byte for logical offset i, 0 <= i < 64,000.
uint8_t flash_byte(uint32_t i);

// For i a positive multiple of 128: the stored checksum byte of the record ending before offset i.
uint8_t record_checksum(uint32_t i);

// EEPROM byte at address a, from memory; 0xFF past the EEPROM contents.
uint8_t eeprom_byte(uint32_t a);

// Frees the image, then closes the file if it is open, and forgets the header and the EEPROM bytes.
// Called by the exit path.
void release();

}  // namespace update_file
