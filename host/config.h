/* The install root and the two configuration files read from its Config
 * directory: Logging.cfg (log file and threshold of the server logger) and
 * Communication.cfg (server name, network identifier, protocol groups).
 * Everything here runs on the start-up thread unless a comment says
 * otherwise. */
#ifndef TESSARC_HOST_CONFIG_H
#define TESSARC_HOST_CONFIG_H

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>
#include <libconfig.h++>

/* The install root: TQ_INSTALL_DIR made absolute against the working
 * directory at the first call, or "/Tessarc" when the variable is not set.
 * Computed once; every call returns the same object, from any thread. When
 * the root does not exist or is not a directory, writes "Tessarc root
 * directory <path> could not be read." to standard error and ends the
 * process with exit code 1. */
const boost::filesystem::path &getRootPath();

/* Reads and parses one configuration file. Returns the parsed file, owned by
 * the caller, or null: silently when no such file exists, after a message on
 * standard error when it cannot be parsed or read. */
std::unique_ptr<libconfig::Config> loadConfig(const std::string &fileName);

/* Applies root/Config/Logging.cfg to the server logger: logFile (opened for
 * appending; the stream is kept until closeLogFile) and logLevel. Settings
 * that are missing or are not strings are ignored; a missing file leaves the
 * logger on standard output at threshold 4. */
void configureLogging(const boost::filesystem::path &root);

/* Applies root/Config/Communication.cfg: serverName, networkId, and each
 * group of the protocols list handed, in file order, to the configure entry
 * of the loaded protocol it names. Call after every module has been loaded
 * and before TQ_Server_run. Failures are logged; nothing is thrown. */
void readConfig(const boost::filesystem::path &root);

/* Puts the server logger back on standard output and closes the log file
 * opened by configureLogging, if any. Called once, at shutdown. */
void closeLogFile();

#endif /* TESSARC_HOST_CONFIG_H */
