function [best, bestError, startError] = calibrate_example(exampleDir, maxEvaluations, start)
%CALIBRATE_EXAMPLE Calibrate the model parameters against an example data set.
%   [BEST, BESTERROR, STARTERROR] = CALIBRATE_EXAMPLE(EXAMPLEDIR) searches
%   parameters for the tests listed in EXAMPLEDIR/vornevResult/evReadInList.txt
%   with fminsearch, from a deliberately poor start, with the penalty factors
%   on. The module is cleared first, so that it loads this folder's tests. It prints the progress, the final parameters and error value, and
%   writes the reports (error report, states after consolidation, simulated
%   curve files) for the best set into EXAMPLEDIR/vornevResult.
%
%   EXAMPLEDIR defaults to the bundled example examples/sand-drained.
%   MAXEVALUATIONS (default 400) bounds the number of module calls made by
%   fminsearch. START (default: a poor start for the bundled sand) is the
%   nine-element starting parameter vector
%       [propm enu pkappa plamda pnvoid cohesion z chi sm].
%   The cohesion stays at its starting value; the other eight are searched.
%
%   Needs the Calvenor module on the path (build/Calvenor.mex for Octave,
%   Calvenor.mexa64/.mexw64 for MATLAB). Runs unchanged in MATLAB and Octave.
%
%   Example:
%       addpath('build'); addpath('matlab');
%       calibrate_example();                     % the bundled example
%       plot_calvenor_results('examples/sand-drained');

    if nargin < 1 || isempty(exampleDir)
        exampleDir = fullfile(fileparts(fileparts(mfilename('fullpath'))), 'examples', 'sand-drained');
    end
    if nargin < 2 || isempty(maxEvaluations)
        maxEvaluations = 400;
    end
    if nargin < 3 || isempty(start)
        start = [1.0 0.25 0.02 0.2 1.4 0 1.2 0.3 1.5];
    end
    names = {'propm', 'enu', 'pkappa', 'plamda', 'pnvoid', 'cohesion', 'z', 'chi', 'sm'};
    free = [1 2 3 4 5 7 8 9];   % every parameter but the cohesion

    if ~exist(fullfile(exampleDir, 'vornevResult', 'evReadInList.txt'), 'file')
        error('calibrate_example:noData', '%s holds no vornevResult/evReadInList.txt', exampleDir);
    end
    % The module reads and writes .\vornevResult\ in the current folder;
    % the folder and the search path found come back at the end.
    restorePlace = calvenor_pin_path(); %#ok<NASGU> (cleared on return)
    cd(exampleDir);

    % A fresh module reads the working list of this folder on its first call
    % and keeps the tests for the later ones.
    clear('Calvenor');
    start = start(:).';
    penalties = [1 0 0];
    startError = Calvenor(start, penalties);
    fprintf('calibrate_example: %s\n', exampleDir);
    fprintf('start error value %.6g\n', startError);

    % fminsearch works on the parameters scaled by their starting values, so
    % that its first simplex steps every parameter by the same fraction.
    scale = start(free);
    objective = @(x) Calvenor(expandParameters(x .* scale, start, free), penalties);
    options = optimset('MaxFunEvals', maxEvaluations, 'MaxIter', maxEvaluations, ...
                       'TolX', 1e-6, 'TolFun', 1e-8, 'Display', 'off', ...
                       'OutputFcn', @printProgress);
    [x, bestError] = fminsearch(objective, ones(size(free)), options);
    best = expandParameters(x .* scale, start, free);

    % One more call with the reports switched on, for the best set.
    finalError = Calvenor(best, [1 1 0]);
    fprintf('final error value %.6g (start %.6g)\n', finalError, startError);
    fprintf('final parameters:\n');
    for k = 1:numel(names)
        fprintf('  %-8s = %.10g\n', names{k}, best(k));
    end
    fprintf('reports written to %s\n', fullfile(exampleDir, 'vornevResult'));
    bestError = finalError;
end

function p = expandParameters(x, start, free)
    p = start;
    p(free) = x;
end

function stop = printProgress(~, optimValues, state)
    stop = false;
    if strcmp(state, 'iter') && mod(optimValues.iteration, 25) == 0
        fprintf('  iteration %4d  evaluations %4d  error value %.6g\n', ...
                optimValues.iteration, optimValues.funccount, optimValues.fval);
    end
end
