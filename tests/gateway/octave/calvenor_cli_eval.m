function [value, diagnostics] = calvenor_cli_eval(cli, folder, parameters, switches)
%CALVENOR_CLI_EVAL One call through the command line `calvenor eval`.
    command = sprintf('"%s" eval --dir "%s" --switches %s %s', cli, folder, ...
                      strjoin(arrayfun(@(s) sprintf('%.17g', s), switches, 'UniformOutput', false), ','), ...
                      sprintf('%.17g ', parameters));
    [status, output] = system(command);
    calvenor_check(status == 0, 'calvenor eval failed (%d): %s', status, output);
    errorLine = regexp(output, '(?m)^error (\S+)', 'tokens', 'once');
    diagnosticsLine = regexp(output, '(?m)^diagnostics (.*)$', 'tokens', 'once');
    calvenor_check(~isempty(errorLine) && ~isempty(diagnosticsLine), 'unexpected output: %s', output);
    value = str2double(errorLine{1});
    diagnostics = str2double(strsplit(strtrim(diagnosticsLine{1}), ' '));
end
