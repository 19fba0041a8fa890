// The sample data class handler built for the tests: its class ids, the classes it
// describes, and counters the tests read to see what the library did with it.
#pragma once

#include "vkrt/dataclass.h"

// Describes kSampleEcgClass and kSampleNotesClass; S_FALSE for any other class.
inline constexpr CLSID CLSID_SampleHandler = nx::Guid("6A0C1E52-3D4B-4F21-9C1E-0B5D7A2E4C01");
// Knows no class at all: always S_FALSE.
inline constexpr CLSID CLSID_SilentHandler = nx::Guid("6A0C1E52-3D4B-4F21-9C1E-0B5D7A2E4C02");
// Fails every question with E_FAIL.
inline constexpr CLSID CLSID_FailingHandler = nx::Guid("6A0C1E52-3D4B-4F21-9C1E-0B5D7A2E4C03");
// Registered to the library by the tests but not served by it: creation fails.
inline constexpr CLSID CLSID_MissingHandler = nx::Guid("6A0C1E52-3D4B-4F21-9C1E-0B5D7A2E4C04");

// ECG recordings: name string 100 (buffer of 64 characters), icon 128, attributes 0x100,
// guidA kSampleGuidA, no guidB, description string 101 (buffer of 8 characters, so the
// text is cut to 7).
inline constexpr GUID kSampleEcgClass = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7D10");
inline constexpr GUID kSampleGuidA = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7DAA");
// Notes: name string 102 with no buffer size given (nameLength 0), icon 128,
// attributes 0x17E, no description.
inline constexpr GUID kSampleNotesClass = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7D11");

inline constexpr DWORD kSampleEcgAttributes = 0x100;
inline constexpr DWORD kSampleNotesAttributes = 0x17E;

// Handler objects alive now, created so far, and DescribeClass calls so far.
NX_EXTERN_C NX_EXPORT LONG SampleHandlerObjects();
NX_EXTERN_C NX_EXPORT LONG SampleHandlerCreated();
NX_EXTERN_C NX_EXPORT LONG SampleHandlerDescribeCalls();
