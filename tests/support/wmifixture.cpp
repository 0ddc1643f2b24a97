#include "tests/support/wmifixture.h"

#include <windows.h>

namespace tavo::test {

namespace {
const char kFixtureVariable[] = "TAVO_WMI_FIXTURE";
}

WmiFixture::WmiFixture(const std::string& text) {
    WriteFileBytes(m_dir.file("wmi-fixture.txt"), text);
    SetEnvironmentVariableA(kFixtureVariable, m_dir.file("wmi-fixture.txt").c_str());
}

WmiFixture::~WmiFixture() {
    SetEnvironmentVariableA(kFixtureVariable, nullptr);
}

}  // namespace tavo::test
