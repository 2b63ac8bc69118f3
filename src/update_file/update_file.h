// UpdateFile: reads the program's own file by its layout. Holds the open file and the in-memory
// FLASH image for the whole run; every failure prints its message and ends the run.
#pragma once

#include <cstdint>

namespace update_file {

// Opens path, checks the file's length and reads the three header tokens, then closes the file.
// Messages name the file as shown_path. Ends the run if the file cannot be opened or its length is
// not the expected one.
void read_payload_header(const char* path, const char* shown_path);

// Header fields; empty until read_payload_header.
const char* device_name();
const char* version();
const char* year();

// Reopens path in binary mode and loads the FLASH image into memory, keeping the file open for the
// EEPROM bytes. Ends the run if it cannot open, allocate or read the whole image.
void load_image(const char* path, const char* shown_path);

// Checks the 500 record checksums; prints "Checksum test OK" or ends the run at the first mismatch.
void verify_image();

// FLASH data byte for logical offset i, 0 <= i < 64,000.
uint8_t flash_byte(uint32_t i);

// For i a positive multiple of 128: the stored checksum byte of the record ending before offset i.
uint8_t record_checksum(uint32_t i);

// Positions the EEPROM source at address 0.
void eeprom_rewind();

// EEPROM byte at address a, read from the open file; 0xFF past its end or on a read error.
// Consecutive addresses are read without seeking.
uint8_t eeprom_byte(uint32_t a);

// Number of seeks the EEPROM source has made since the image was loaded.
unsigned long eeprom_seek_count();

// Frees the image, then closes the file if it is open, and forgets the header. Called by the exit
// path.
void release();

}  // namespace update_file
