#pragma once

namespace corvane {

struct CheckContext;
struct StageVerdict;

// The stages of the account check, in the order AccountCheck runs them. Each
// judges the account with what the stages before it found and says what it
// finds in its verdict; false stops the check there. The stages from Greeting
// on judge the one session Connect ran: nothing more goes to the server.

// SetupStages.cpp
bool checkSettings(CheckContext &context, StageVerdict &verdict); // Corvane.ini as the service reads it
bool checkServer(CheckContext &context, StageVerdict &verdict);   // SMPT_Server
// TokenStage.cpp
bool checkToken(CheckContext &context, StageVerdict &verdict);    // the OAuth token, as the service gets it
// ConnectStages.cpp
bool checkPop3(CheckContext &context, StageVerdict &verdict);     // POP-before-SMTP
bool checkResolve(CheckContext &context, StageVerdict &verdict);  // the name, through the service's lookup
bool checkConnect(CheckContext &context, StageVerdict &verdict);  // runs the session
// The authorities of CA_File (or --ca-file), read as the service reads them,
// judged by the first stage that needs them.
bool checkCaFile(CheckContext &context, StageVerdict &verdict);
// SessionStages.cpp
bool checkGreeting(const CheckContext &context, StageVerdict &verdict); // greeting, EHLO
bool checkTls(const CheckContext &context, StageVerdict &verdict);      // STARTTLS or TLS, the certificate
// LoginStage.cpp
bool checkLogin(const CheckContext &context, StageVerdict &verdict);
// EnvelopeStages.cpp
bool checkSender(const CheckContext &context, StageVerdict &verdict);     // MAIL FROM
bool checkRecipients(const CheckContext &context, StageVerdict &verdict); // RCPT TO, every address
// CloseStage.cpp
bool checkClose(const CheckContext &context, StageVerdict &verdict);      // RSET, QUIT

} // namespace corvane
