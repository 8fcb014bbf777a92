function test_octave_scripts(buildDir, exampleDir, dataDir)
%TEST_OCTAVE_SCRIPTS calibrate_example.m and plot_calvenor_results.m under
%   Octave, on copies of the bundled example EXAMPLEDIR and of the data set
%   DATADIR (every test type, Fortran exponents in the data).
    previous = pwd();
    example = calvenor_test_folder(exampleDir);
    mixed = calvenor_test_folder(dataDir);
    cleanup = onCleanup(@() leave(previous, {example, mixed}));

    % The module's folder added as a user types it, relative to the current
    % folder: calibrate_example changes folder and still finds the module.
    [buildParent, buildName] = fileparts(buildDir);
    cd(buildParent);
    addpath(buildName);
    here = pwd();
    searchPath = path();
    lastwarn('');
    % The calibration at least halves the error value of its poor start and
    % leaves the reports of its best set.
    [best, bestError, startError] = calibrate_example(example, 400);
    calvenor_check(numel(best) == 9 && isfinite(bestError), 'calibration: no result');
    calvenor_check(bestError <= startError / 2, 'calibration: %.6g from %.6g is not half', bestError, startError);
    calvenor_check(strcmp(pwd(), here), 'calibration: the current folder was not restored');
    calvenor_check(strcmp(path(), searchPath), 'calibration: the search path was changed');
    [message, id] = lastwarn();
    calvenor_check(isempty(message), 'calibration warned: %s (%s)', message, id);
    % From here on the test changes folder itself.
    addpath(buildDir);
    result = fullfile(example, 'vornevResult');
    for name = {'VORNevPicOutError.DAT', 'MidPande.DAT', 'CD100-3.DAT', 'CD300-3.DAT'}
        calvenor_check(exist(fullfile(result, name{1}), 'file') == 2, 'calibration: no %s', name{1});
    end
    checkPng(plot_calvenor_results(example));

    % Every test type, once with its curve files, once without some.
    cd(mixed);
    clear('Calvenor');
    Calvenor([1.4898781844154607 0.34396856507397067 0.021418765489097494 0.15604729871436027 ...
              1.2167715791959186 0.0 1.1327520105134743 0.2245178233637338 1.3285837871943693], [0 1 0]);
    cd(previous);
    checkPng(plot_calvenor_results(mixed, fullfile(mixed, 'working.png')));
    warnings = warning('off', 'plot_calvenor_results:noCurve');
    checkPng(plot_calvenor_results(mixed, fullfile(mixed, 'out', 'full.png'), 'evReadInListZong.txt'));
    warning(warnings);
    fprintf('test_octave_scripts: all checks passed\n');
end

function checkPng(file)
    fid = fopen(file, 'r');
    calvenor_check(fid >= 0, 'no picture %s', file);
    header = fread(fid, 8, 'uint8=>uint8').';
    fseek(fid, 0, 'eof');
    bytes = ftell(fid);
    fclose(fid);
    calvenor_check(isequal(header, uint8([137 80 78 71 13 10 26 10])) && bytes > 10000, ...
                   '%s is not a PNG picture of a plot', file);
end

function leave(previous, folders)
    cd(previous);
    clear('Calvenor');
    for k = 1:numel(folders)
        rmdir(folders{k}, 's');
    end
end
