// Class and interface of the in-process COM server that com_test.cpp creates through
// the registry (built as libnxpal_test_comserver.so from com_test_server.cpp).
#pragma once

#include "nxpal/com.h"

// The one class the server makes.
inline constexpr CLSID CLSID_TestCounter = nx::Guid("99510BCD-AD00-499D-890F-D0E3B4643C63");
// Registered to the same library, which does not serve it.
inline constexpr CLSID CLSID_TestUnserved = nx::Guid("5992E790-E4A3-4992-9387-FCDC9519C4F9");

inline constexpr IID IID_ITestCounter = nx::Guid("1F072E9F-8CD3-47C7-8168-1B62B9BC23C9");
struct ITestCounter : IUnknown {
  // Adds to this object's own total and returns the new total.
  virtual LONG STDMETHODCALLTYPE Add(LONG value) = 0;
  // Objects and class factories of the server alive now.
  virtual LONG STDMETHODCALLTYPE LiveObjects() = 0;
  virtual LONG STDMETHODCALLTYPE LiveFactories() = 0;
};
