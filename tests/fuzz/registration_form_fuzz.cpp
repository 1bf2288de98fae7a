// libFuzzer target: the form-body decoder reads every sign-up's body, the
// first thing a stranger's bytes reach after the HTTP library.
#include "server/signup/registration_form.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char *>(data), size);
    for (const auto charset : {parlonda::FormCharset::Windows1252, parlonda::FormCharset::Utf8}) {
        const parlonda::RegistrationForm form = parlonda::readRegistrationForm(body, charset);
        // Exactly one of: a registration, a refused nick, a refused form.
        const int outcomes = int(form.registration.has_value()) +
                             int(form.nickProblem != parlonda::NickProblem::None) +
                             int(!form.problem.empty());
        if (outcomes != 1)
            __builtin_trap();
    }
    return 0;
}
