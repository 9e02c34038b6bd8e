#pragma once

class CommandRequest;

// Stores the layout page of a GENERATE_IO command in the layout directory, once under the IO
// board's id and once under its name, inside a directory named after the board's DVR.
void generateIoLayout(const CommandRequest &command);
