// The result-code list: ordered, unique, and the README's table says the same.

#include "jointbus/common/result_codes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"

TEST(ResultCodes, ListIsAscendingAndEveryCodeHasItsMeaning) {
    int previous = -1;
    for (const auto& entry : jointbus::kResultCodes) {
        EXPECT_GT(entry.code, previous) << "out of order or repeated: " << entry.code;
        previous = entry.code;
        EXPECT_STREQ(jointbus::ResultCodeMeaning(entry.code), entry.meaning);
    }
    EXPECT_EQ(jointbus::ResultCodeMeaning(-1), nullptr);
    EXPECT_EQ(jointbus::ResultCodeMeaning(5001), nullptr);
    // The classes' own names are the same codes.
    EXPECT_EQ(damiaoMotor::kUnknownModel, jointbus::kUnknownModel);
    EXPECT_EQ(damiaoMotor::kNotANumber, jointbus::kDamiaoNotANumber);
    EXPECT_EQ(feetechMotor::kNotANumber, jointbus::kFeetechNotANumber);
}

// Rows "| code | meaning |" under the README's "## Result codes" heading.
TEST(ResultCodes, ReadmeTableMatchesTheHeader) {
    std::ifstream readme(JOINTBUS_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme.good());
    std::map<int, std::string> rows;
    bool inSection = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) inSection = line == "## Result codes";
        if (!inSection || line.size() < 2 || line[0] != '|' ||
            !std::isdigit(static_cast<unsigned char>(line[2])))
            continue;
        std::istringstream cells(line.substr(1));
        std::string code, meaning;
        std::getline(cells, code, '|');
        std::getline(cells, meaning, '|');
        auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(' '));
            s.erase(s.find_last_not_of(' ') + 1);
            return s;
        };
        rows[std::stoi(trim(code))] = trim(meaning);
    }
    EXPECT_EQ(rows.size(), std::size(jointbus::kResultCodes));
    for (const auto& entry : jointbus::kResultCodes) {
        ASSERT_EQ(rows.count(entry.code), 1u) << "README lacks code " << entry.code;
        EXPECT_EQ(rows[entry.code], entry.meaning) << "code " << entry.code;
    }
}
