function pngFile = plot_calvenor_results(folder, pngFile, listName)
%PLOT_CALVENOR_RESULTS Plot measured against simulated curves of every test.
%   PLOT_CALVENOR_RESULTS(FOLDER) reads the test list
%   FOLDER/vornevResult/evReadInList.txt, each test's measured data file and
%   its simulated curve file (<data file stem>-<type>.DAT, written by a call
%   of Calvenor with switch 2 on), and plots, against strain, the quantities
%   each test type is scored on:
%       type 1  Undrained, constant volume: q and u
%       type 2  Constant mean stress: q and ev
%       type 3  Drained, constant cell pressure: q and ev
%       type 4  Zero lateral strain: p
%       type 5  Isotropic: p
%   Tests of other types are scored on nothing; they are left out with a
%   warning. Measured points are markers, simulated values a line. The
%   figure is saved as a PNG, by default
%   FOLDER/vornevResult/calvenor_results.png; the file name is returned.
%
%   PLOT_CALVENOR_RESULTS(FOLDER, PNGFILE, LISTNAME) names the PNG file and
%   the list (default 'evReadInList.txt', e.g. 'evReadInListZong.txt').
%   FOLDER defaults to the current folder. Names in the list are relative to
%   FOLDER, written with backslashes or slashes.
%
%   Draws into an invisible figure, so it runs without a display (octave-cli,
%   matlab -batch). Runs unchanged in MATLAB and Octave.

    if nargin < 1 || isempty(folder)
        folder = pwd();
    end
    if nargin < 2 || isempty(pngFile)
        pngFile = fullfile(folder, 'vornevResult', 'calvenor_results.png');
    end
    if nargin < 3 || isempty(listName)
        listName = 'evReadInList.txt';
    end

    tests = readTestList(folder, fullfile(folder, 'vornevResult', listName));
    if isempty(tests)
        error('plot_calvenor_results:emptyList', 'the list %s names no tests', listName);
    end
    scored = arrayfun(@(t) ~isempty(scoredColumns(t.type)), tests);
    for t = reshape(find(~scored), 1, [])
        warning('plot_calvenor_results:notScored', '%s: type %d is scored on nothing; not drawn', ...
                tests(t).name, tests(t).type);
    end
    tests = tests(scored);
    if isempty(tests)
        error('plot_calvenor_results:nothingScored', 'the list %s names no test of types 1 to 5', listName);
    end

    isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
    device = '-dpng';
    if isOctave
        prepareOctaveFonts();
        if strcmp(graphics_toolkit(), 'gnuplot')
            % gnuplot's own PNG terminal; Octave's -dpng would go through
            % Ghostscript, which need not be installed.
            device = '-dpngcairo';
            warnings = warning();
            restoreWarnings = onCleanup(@() warning(warnings));
            warning('off', 'Octave:gnuplot-graphics');
            warning('off', 'print:nogs');
        end
    end

    % One row of panels per test: the scored quantities side by side.
    labels = {'strain', 'q', 'p', 'ev', 'u'};
    columns = 2;
    rows = numel(tests);
    fig = figure('visible', 'off', 'color', 'w', ...
                 'position', [0 0 900 max(320, 300 * rows)], ...
                 'paperpositionmode', 'auto');
    for t = 1:rows
        test = tests(t);
        measured = readNumberRecords(test.dataPath, 5);
        simulated = [];
        if exist(test.curvePath, 'file')
            simulated = readCurveFile(test.curvePath);
        else
            warning('plot_calvenor_results:noCurve', ...
                    'no simulated curve file %s (call Calvenor with switch 2 on)', test.curvePath);
        end
        quantities = scoredColumns(test.type);
        for k = 1:numel(quantities)
            c = quantities(k);
            subplot(rows, columns, (t - 1) * columns + k);
            hold on;
            plot(measured(:, 1), measured(:, c), 'o', 'markersize', 4);
            if ~isempty(simulated)
                plot(simulated(:, 1), simulated(:, c), '-', 'linewidth', 1.5);
                legend({'measured', 'simulated'}, 'location', legendPlace(c));
            else
                legend({'measured'}, 'location', legendPlace(c));
            end
            hold off;
            grid on;
            if t == rows
                xlabel(labels{1});
            end
            ylabel(labels{c});
            title(sprintf('%s (type %d): %s', test.name, test.type, labels{c}), 'interpreter', 'none');
        end
    end

    outputFolder = fileparts(pngFile);
    if ~isempty(outputFolder) && ~exist(outputFolder, 'dir')
        mkdir(outputFolder);
    end
    print(fig, device, '-r100', pngFile);
    close(fig);
end

function place = legendPlace(column)
% Clear of the curves as a rule: q, p and u rise with strain, ev of a dilating
% specimen falls.
    if column == 4
        place = 'southwest';
    else
        place = 'southeast';
    end
end

function c = scoredColumns(type)
% Columns (strain 1, q 2, p 3, ev 4, u 5) a test type is scored on, as the
% help text lists them.
    switch type
        case 1
            c = [2 5];
        case {2, 3}
            c = [2 4];
        case {4, 5}
            c = 3;
        otherwise
            c = [];
    end
end

function tests = readTestList(folder, listFile)
% List records: data file name (maybe quoted), type code, p0, e0.
    lines = readLines(listFile);
    tests = struct('name', {}, 'type', {}, 'dataPath', {}, 'curvePath', {});
    for k = 1:numel(lines)
        line = strtrim(lines{k});
        if isempty(line)
            continue;
        end
        if line(1) == '''' || line(1) == '"'
            closing = find(line(2:end) == line(1), 1);
            if isempty(closing)
                error('plot_calvenor_results:badList', '%s:%d: unterminated quoted name', listFile, k);
            end
            name = line(2:closing);
            rest = line(closing + 2:end);
        else
            stop = find(line == ' ' | line == ',' | line == sprintf('\t'), 1);
            if isempty(stop)
                stop = numel(line) + 1;
            end
            name = line(1:stop - 1);
            rest = line(stop:end);
        end
        values = sscanf(strrep(rest, ',', ' '), '%f');
        if isempty(values)
            error('plot_calvenor_results:badList', '%s:%d: expected a type code after the name', listFile, k);
        end
        name = strtrim(name);
        stem = strtrim(name(1:max(0, numel(name) - 4)));
        dataPath = hostPath(folder, name);
        [~, base, ext] = fileparts(dataPath);
        tests(end + 1) = struct('name', [base ext], 'type', values(1), 'dataPath', dataPath, ...
                                'curvePath', hostPath(folder, sprintf('%s-%d.DAT', stem, values(1)))); %#ok<AGROW>
    end
end

function p = hostPath(folder, name)
% A name as the host writes it, relative to FOLDER unless absolute.
    name = strrep(name, '\', '/');
    if strncmp(name, './', 2)
        name = name(3:end);
    end
    if ~isempty(name) && (name(1) == '/' || (numel(name) > 1 && name(2) == ':'))
        p = name;
    else
        p = fullfile(folder, name);
    end
end

function lines = readLines(file)
    fid = fopen(file, 'r');
    if fid < 0
        error('plot_calvenor_results:cannotOpen', 'cannot open %s', file);
    end
    text = fread(fid, Inf, '*char').';
    fclose(fid);
    text = strrep(text, sprintf('\r'), '');
    lines = regexp(text, '\n', 'split');
end

function rows = readNumberRecords(file, count)
% Free-form records of COUNT numbers, each starting on a new line (a short
% line goes on into the next); blank lines are passed over, numbers beyond
% COUNT on a line ignored; Fortran D exponents are read.
    lines = readLines(file);
    rows = zeros(0, count);
    record = [];
    for k = 1:numel(lines)
        line = strtrim(lines{k});
        if isempty(line)
            continue;
        end
        line = regexprep(line, '(\d|\.)[dD]([+-]?\d)', '$1e$2');
        values = sscanf(strrep(line, ',', ' '), '%f').';
        if isempty(values)
            error('plot_calvenor_results:badData', '%s:%d: expected %d numbers', file, k, count);
        end
        record = [record, values]; %#ok<AGROW>
        if numel(record) >= count
            rows(end + 1, :) = record(1:count); %#ok<AGROW>
            record = [];
        end
    end
    if ~isempty(record)
        error('plot_calvenor_results:badData', '%s: last record holds %d of %d numbers', ...
              file, numel(record), count);
    end
end

function rows = readCurveFile(file)
% Five comma-separated fields per record; Infinity and NaN may appear.
    lines = readLines(file);
    rows = zeros(0, 5);
    for k = 1:numel(lines)
        line = strtrim(lines{k});
        if isempty(line)
            continue;
        end
        fields = regexp(line, ',', 'split');
        if numel(fields) ~= 5
            error('plot_calvenor_results:badCurve', '%s:%d: expected 5 comma-separated fields', file, k);
        end
        values = str2double(regexprep(strtrim(fields), 'Infinity', 'Inf'));
        rows(end + 1, :) = values; %#ok<AGROW>
    end
end

function prepareOctaveFonts()
% Octave renders text with its default font, FreeSans. Where that font is
% not installed (a minimal system without fonts-freefont-otf) every plot
% fails; point Octave at a stand-in made from an installed sans font.
    if ~isempty(getenv('OCTAVE_FONTS_DIR'))
        return;
    end
    % feval: the names start with underscores, which MATLAB cannot parse.
    candidates = {feval('__octave_config_info__', 'octfontsdir')};
    build = feval('__octave_config_info__', 'build_environment');
    found = regexp(build.config_opts, '--with-system-freefont=([^'' ]+)', 'tokens', 'once');
    if ~isempty(found)
        candidates{end + 1} = found{1};
    end
    for k = 1:numel(candidates)
        if exist(fullfile(candidates{k}, 'FreeSans.otf'), 'file')
            return;
        end
    end
    [status, sans] = system('fc-match -f "%{file}" sans 2>/dev/null');
    if status ~= 0 || ~exist(strtrim(sans), 'file')
        return;   % nothing better to offer; Octave reports the missing font itself
    end
    standIn = fullfile(tempdir(), sprintf('calvenor-fonts-%d', getpid()));
    if ~exist(standIn, 'dir')
        mkdir(standIn);
    end
    for style = {'', 'Bold', 'Oblique', 'BoldOblique'}
        target = fullfile(standIn, ['FreeSans' style{1} '.otf']);
        if ~exist(target, 'file')
            copyfile(strtrim(sans), target);
        end
    end
    setenv('OCTAVE_FONTS_DIR', standIn);
end
