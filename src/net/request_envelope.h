// Pieces of the request envelope that PostServerRequest and the divided
// upload share (layouts in net/post_server_request.cpp).
#pragma once

#include <string>
#include <vector>

#include "pack/stream.h"

// "_" + EncodeHeaderField(name) + ":_" + EncodeHeaderField(value) + "_" CR LF
std::string HeaderFieldLine(const std::string& name, const std::string& value);

// Builds the prepared body from the parameter items (UTF-8 NAME:VALUE texts)
// and the caller's body, and appends header lines 1 and 2 to header_block.
// Items that are empty or whose first colon is their last character are
// dropped; an item without a colon has an empty name; "LOGINKEY" items become header
// lines, all others NAME=VALUE lines of "OTHERHEAD". Throws what the packing
// throws.
void BuildRequestBody(const std::vector<std::string>& items, TStream& caller_body,
                      TMemoryStream& body, std::string& header_block);
